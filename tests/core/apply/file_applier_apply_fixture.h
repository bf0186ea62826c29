// The applier's fixture for whole applies over a scratch tree: items below its allowed folder,
// the applier on its support folder and a clock the test moves on.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/applier_tree.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"

namespace tavra::test {

using Action = FileApplier::Action;
using Change = FileApplier::Change;

class FileApplierApplyTest : public ::testing::Test {
 protected:
  test::ApplierTree t;

  FileApplier::Desired item(std::string_view relative, std::string data, std::uint16_t mode = 0644,
                            std::string harness = "h") const {
    return {t.target(relative), std::move(data), mode, std::move(harness), "out"};
  }
  FileApplier::ApplyResult apply(const std::vector<FileApplier::Desired>& desired,
                                 bool unmanage = false, bool dryRun = false) const {
    return t.applier().apply(desired, unmanage, dryRun);
  }
  FileApplier::StateEntry entry(std::string_view relative) const {
    const auto state = t.applier().loadState();
    const auto found = state.entries.find(t.target(relative));
    if (found == state.entries.end()) throw std::runtime_error("no entry");
    return found->second;
  }
  void later() { t.now += std::chrono::hours(1); }
};

}  // namespace tavra::test
