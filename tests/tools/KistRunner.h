#pragma once

#include <map>
#include <string>
#include <vector>

// Runs the real kist binary in a home of its own and captures what it says.
namespace kisttest {

struct RunResult {
    int status = -1; // the exit status; 128 + signal when a signal ended it
    std::string out;
    std::string err;
};

// A fresh home: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_DESKTOP_DIR,
// TMPDIR and XDG_RUNTIME_DIR (private, as a login's is) all point into one
// new folder below the test program's scratch folder. Runs see only these
// variables, PATH and what the call adds, so a KIST_* variable of whoever
// runs the tests never leaks in.
class KistHome {
public:
    explicit KistHome(const std::string& hint);

    // Runs kist with arguments in workingFolder (default: the home's root) in
    // a new session without a controlling terminal and with standard input
    // from /dev/null.
    RunResult run(const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& variables = {},
                  const std::string& workingFolder = {}) const;

    // Runs kist as the last program of wrapper (a tracer and its options,
    // the first one a full path), with run's home and standard streams.
    RunResult runUnder(const std::vector<std::string>& wrapper, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& variables = {}) const;

    // One question kist is expected to ask on the terminal and what is typed.
    struct Exchange {
        std::string question;
        std::string answer;
    };

    // Runs kist with a pseudo-terminal as its controlling terminal, standard
    // input and standard error; standard output goes to RunResult::out and
    // everything the terminal showed to RunResult::err. Each answer is typed
    // once its question has appeared.
    RunResult runOnTerminal(const std::vector<std::string>& arguments,
                            const std::map<std::string, std::string>& variables,
                            const std::vector<Exchange>& exchanges) const;

    // The vault and settings folders that the engine creates on first use.
    std::string vaultFolder() const { return dataHome + "/kist"; }
    std::string settingsFolder() const { return dataHome + "/Brannoway"; }

    std::string root;
    std::string home;
    std::string dataHome;
    std::string desktop;
    std::string temp;
    std::string runtime;

private:
    struct Launch;
    Launch prepare(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& variables,
                   const std::vector<std::string>& wrapper) const;
    RunResult runLaunch(Launch launch, const std::string& workingFolder) const;
};

// The lines of text, without their line ends.
std::vector<std::string> lines(const std::string& text);

} // namespace kisttest
