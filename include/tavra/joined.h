// joined: a list as the system's texts write it, the items in order with a separator between each
// two. Pure; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavra {

// The items in order with `separator` between each two ("a, b, c"); "" for no items. An empty
// item keeps its place (",b" for "" and "b").
std::string joined(const std::vector<std::string>& items, std::string_view separator);

}  // namespace tavra
