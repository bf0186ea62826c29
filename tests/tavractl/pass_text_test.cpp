// The printout of a pass that `apply --local` and `simulate` share.
#include "pass_text.h"

#include <gtest/gtest.h>

namespace tavra::test {
namespace {

TEST(PassTextTest, ASummaryLineThenOneLinePerChangeAndPerError) {
  StatusReport report;
  report.health = StatusReport::Health::degraded;
  report.harnesses = {{"codex", StatusReport::HarnessState::managed, {}, {}, {}, {}}};
  report.changes = {{"/etc/codex/config.toml", "codex", FileApplier::Action::updated},
                    {"/x/y.json", "codex", FileApplier::Action::removed}};
  report.errors = {"first", "second"};
  EXPECT_EQ(ctl::passText(report),
            "degraded; catalog none; managed: codex\n"
            "  updated: /etc/codex/config.toml\n"
            "  removed: /x/y.json\n"
            "\u2717 first\n"
            "\u2717 second\n");
}

TEST(PassTextTest, AQuietPassIsItsSummaryAlone) {
  const StatusReport report;
  EXPECT_EQ(ctl::passText(report), report.summary() + "\n");
}

}  // namespace
}  // namespace tavra::test
