#include "discover_text.h"

#include <algorithm>

#include "tavra/joined.h"

namespace tavra::ctl {
namespace {

// The processes of one entry, one line per (user, executable), groups in order of appearance.
std::string processLines(const std::vector<Discovery::RunningProcess>& processes) {
  std::vector<std::pair<std::string, std::vector<std::int32_t>>> groups;
  for (const auto& process : processes) {
    const std::string key = "(" + process.user + "): " + process.path;
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& existing) { return existing.first == key; });
    if (group == groups.end()) {
      groups.emplace_back(key, std::vector<std::int32_t>{process.pid});
    } else {
      group->second.push_back(process.pid);
    }
  }
  std::string text;
  for (const auto& [key, pids] : groups) {
    if (pids.size() == 1) {
      text += "    pid " + std::to_string(pids.front()) + " " + key + "\n";
    } else {
      text += "    " + std::to_string(pids.size()) + " processes " + key + "\n";
    }
  }
  return text;
}

}  // namespace

std::string inventoryLine(const std::vector<Discovery::HarnessInventory>& inventory,
                          const std::set<std::string>& managed, bool unmanagedOnly) {
  std::vector<std::string> entries;
  for (const auto& entry : inventory) {
    if (!entry.installed && !entry.running) continue;
    const bool isManaged = managed.count(entry.id) > 0;
    if (unmanagedOnly && isManaged) continue;
    std::vector<std::string> flags = {isManaged ? "managed" : "unmanaged"};
    if (entry.running) flags.emplace_back("running");
    entries.push_back(entry.id + "[" + joined(flags, ",") + "]");
  }
  return entries.empty() ? "none" : joined(entries, ", ");
}

std::string inventoryListing(const std::vector<Discovery::HarnessInventory>& inventory,
                             const std::set<std::string>& managed) {
  if (inventory.empty()) return "No known agent harnesses found.\n";
  std::string text;
  for (const auto& entry : inventory) {
    std::vector<std::string> words = {entry.installed ? "installed" : "not installed"};
    if (entry.running) words.emplace_back("running");
    words.emplace_back(managed.count(entry.id) > 0 ? "managed by Tavra" : "unmanaged");
    if (entry.catalogStatus == rawValue(Harness::Status::planned)) words.emplace_back("planned");
    text += entry.id + " (" + entry.displayName + ") \u2014 " + joined(words, ", ") + "\n";
    for (const auto& installation : entry.installations) {
      text += "    " + std::string(installation.kind.text()) + ": " + installation.path;
      if (installation.version) text += " v" + *installation.version;
      if (installation.user) text += " [" + *installation.user + "]";
      text += "\n";
    }
    text += processLines(entry.processes);
    for (const auto& path : entry.userConfigs) text += "    user config: " + path + "\n";
  }
  return text;
}

}  // namespace tavra::ctl
