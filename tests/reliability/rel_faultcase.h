// One request under a fault plan, from a freshly generated log directory to the verdict:
// what the requester heard, what was logged, and an inventory showing that no log line was
// lost and nothing half-made was left. Shared by the fault and live-log tests.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/reliability/rel_faultwrap.h"
#include "tests/reliability/rel_inventory.h"

namespace rel {

extern const std::string kFaultLogDir;
extern const std::string kFaultMediaDir;  // the card in the tmpfs cases
extern const std::string kFaultFiller;    // fills the card; not in the log directory
extern const std::string kArchive;        // the package's tar, "pkg.tar"
constexpr int kNoResult = -1;

// Three past days and today; packaging takes P2..T, compress-only takes P1.
struct Days {
    std::string p1, p2, p3, t;
};
Days TheDays();

struct Expect {
    int result = kNoResult;               // LOG_COMP_TRIGGER_RESULT_*, or nothing heard
    bool anyResult = false;               // whatever the requester hears (at most once)
    std::vector<std::string> lines;       // messages that must be logged ("...= ": a prefix)
    std::vector<std::string> compressed;  // names whose whole content ends "<name>.gz"
    std::vector<std::string> extra;       // further names that must be left (e.g. the .tar)
    bool archiveHolds = false;           // a log may be missing or cut when the .tar holds it whole
    std::vector<std::string> tolerated;  // names that may be left, whole or not
    std::vector<std::string> growing;    // logs still written meanwhile: only their lines count

    Expect Compressed(std::vector<std::string> names) const;
    Expect KeptInArchive() const;  // the .tar stays and holds what is missing
    Expect ArchiveHolds() const;   // the .tar or .tar.gz holds what is missing
    Expect Tolerate(std::vector<std::string> names) const;
    Expect Growing(std::vector<std::string> names) const;
};
Expect Heard(int result, std::vector<std::string> lines);
Expect NothingHeard(std::vector<std::string> lines);
Expect AnyOutcome();

struct FaultCase {
    std::string name;
    int option;
    std::string begin, end;
    FaultPlan plan;
    Expect expect;
    std::function<void()> afterRequest = nullptr;   // once the loop has stopped
    std::function<void()> beforeRequest = nullptr;  // on the fresh directory, before the post
};
FaultCase Package(const std::string& name, FaultPlan plan, Expect e);
FaultCase CompressOnly(const std::string& name, FaultPlan plan, Expect e);

// Lines a case's hooks wrote into the logs while the request ran; they must survive too.
void NoteWritten(const std::string& text);

// Waits until the running case's sink has logged `text` (a whole message); false at the
// deadline.
bool WaitLogged(const std::string& text);

// "" when the case went as expected, else its findings, one per line.
std::string RunCase(const FaultCase& c);

}  // namespace rel
