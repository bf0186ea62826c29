// The services tests build the library's objects with: this machine's file system and clock, and
// fakes for everything that would reach beyond the test (logs in memory, no HTTP client, a fixed
// process table, no keychain, a launcher that starts nothing).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "tavra/discovery.h"
#include "tavra/iso8601.h"
#include "tavra/platform/file_system.h"
#include "tavra/services.h"

namespace tavra::test {

// One PosixFileSystem shared by the objects of a test.
std::shared_ptr<const FileSystem> files();

// A process table that lists exactly `processes`, with the users as given ("?" for an owner
// without an account), whose accounts have the groups of `groups` (by uid) and no others.
std::shared_ptr<const platform::ProcessTable> processTable(
    std::vector<Discovery::RunningProcess> processes = {},
    std::map<std::uint32_t, std::vector<std::uint32_t>> groups = {});

// A clock that tells the time `now` gives, each time it is asked.
std::shared_ptr<const Clock> clock(std::function<Date()> now);

// files(), the system clock, a MemoryLogger for each log, no HTTP client, an empty process table,
// a RecordingLauncher, no keychain.
Services services();

}  // namespace tavra::test
