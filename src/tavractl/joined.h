// joined: a list as the tool's texts write it, the items with a separator between them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavra::ctl {

// The items in order with `separator` between each two ("a, b, c"); "" for no items.
std::string joined(const std::vector<std::string>& items, std::string_view separator);

}  // namespace tavra::ctl
