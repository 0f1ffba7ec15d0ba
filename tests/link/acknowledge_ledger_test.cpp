// Whose acknowledgement a change of the byte is, step by step: "w<n>@t" notes a write of
// transaction n at t ms, "c@t" a change at t ms, "e<n>+" / "e<n>-" transaction n answered or
// given up. Each change must credit what the row says.
#include "link/acknowledge_ledger.hpp"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using Credit = AcknowledgeLedger::Credit;

// Runs `script`; the credits of its changes as "<credit><owner>" joined by spaces.
std::string run(const std::string& script) {
    static const char* const kNames[] = {"waiting", "late", "settled", "nobody", "doubtful"};
    AcknowledgeLedger ledger;
    const AcknowledgeLedger::TimePoint origin{};
    std::istringstream steps(script);
    std::string result;
    for (std::string step; steps >> step;) {
        const auto at = step.find('@');
        const auto time =
            at == std::string::npos ? 0 : std::stoi(step.substr(at + 1));  // milliseconds
        const auto when = origin + std::chrono::milliseconds(time);
        if (step[0] == 'w') {
            ledger.written(std::stoull(step.substr(1, at - 1)), when);
        } else if (step[0] == 'e') {
            ledger.ended(std::stoull(step.substr(1, step.size() - 2)), step.back() == '+');
        } else {
            const auto change = ledger.change(when);
            result += (result.empty() ? "" : " ") + std::string(kNames[int(change.credit)]) +
                      (change.credit == Credit::nobody ? "" : std::to_string(change.owner));
        }
    }
    return result;
}

TEST(AcknowledgeLedger, CreditsTheOldestMessageInDoubtMeasuresItsRoundTripAndCountsWhatItGivesUp) {
    const struct {
        const char* script;
        const char* credits;
    } rows[] = {
        // The plain case: each message its own change.
        {"w1@0 c@20 e1+ w2@30 c@50", "waiting1 waiting2"},
        // A change with nothing written, or after everything was credited.
        {"c@0 w1@10 c@20 c@30", "nobody waiting1 nobody"},
        // Message 1 gave up and is still in doubt when 2 is written: the first change is 1's
        // (late), only a second one is 2's.
        {"w1@0 e1- w2@400 c@410 c@420", "late1 waiting2"},
        {"w1@0 e1- w2@400 c@410", "late1"},
        // Older than the doubt window: given up, the change goes to the next one.
        {"w1@0 e1- w2@1100 c@1110", "waiting2"},
        // Retried attempts of one transaction: the first change answers it, the second is
        // settled (the message was applied twice: why relative moves are sent once).
        {"w1@0 w1@125 c@200 e1+ c@210", "waiting1 settled1"},
        // A read answered by its payload still owns its change when it comes later.
        {"w1@0 e1+ w2@50 c@60 c@70", "settled1 waiting2"},
        // A refused transaction (no change ever) would shift every later credit by its three
        // attempts: a quick change for the next one gives its overdue messages up instead; that
        // change may be an overdue one's, so it proves nothing; the next quick one does.
        {"w1@0 w1@125 w1@250 e1- w2@400 c@402 e2- w3@500 c@501", "doubtful2 waiting3"},
        // ... but not a message that is not overdue yet: that change may well be its.
        {"w1@0 e1+ w2@2 c@3 c@4", "settled1 waiting2"},
        // Quick is measured on the device's recent round trips: 2 x 20 ms here.
        {"w1@0 c@20 e1+ w2@100 e2- w3@400 c@430", "waiting1 doubtful3"},
        {"w1@0 c@20 e1+ w2@100 e2- w3@400 c@450", "waiting1 late2"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run(row.script), row.credits) << row.script;
    }

    // A change measures the round trip of the message it credits; what it gives up is counted.
    AcknowledgeLedger ledger;
    const AcknowledgeLedger::TimePoint origin{};
    ledger.written(1, origin);
    ledger.written(2, origin + std::chrono::milliseconds(100));
    const auto change = ledger.change(origin + std::chrono::milliseconds(1050));
    EXPECT_EQ(ledger.givenUp(), 1u);
    EXPECT_EQ(change.owner, 2u);
    EXPECT_EQ(change.roundTrip, std::chrono::milliseconds(950));
}

}  // namespace
}  // namespace kinetra::link
