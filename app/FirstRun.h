#pragma once
// The quick start wizard's effect, for front-ends without its dialog: the
// four answers written as the wizard writes them, the headless defaults, and
// the same four questions asked on a terminal.

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

struct WizardValues {
    std::string hostName;  // upstream news server; empty: leave unset
    std::string port = "119";
    std::string newsDirectory = "news/";
    std::string listenPort = "119";
};

// What "Continue" writes: the listen port, the news directory (with a final
// "/"), the posting host, section "NewsFeed01" (Name, Port and the two
// subscription file names) and an allow list that admits every address.
// Files are relative to the current directory (the home). False: a file
// could not be written.
bool WriteWizard(const WizardValues& values);

// First start without a person to ask: the news directory "news/", reader
// port 119 and the subscription file names where they are not set yet, and
// an allow list admitting only loopback when there is none. Nothing that
// exists is replaced, and the upstream stays unset. Returns the log lines
// that tell the owner what was done and how to set the upstream.
std::vector<std::string> WriteFirstRunDefaults();

// The four questions as a conversation that never waits for its answers:
// Start prints the first question, each answer line goes in through Answer
// (which prints the next question), and EndOfInput takes the shown
// defaults for the rest. An empty answer takes the shown default, an empty
// host name leaves the upstream unset, and ports are asked again until they
// are numbers from 1 to 65535.
class WizardQuestions {
public:
    // The reader port offered is the one "Quorvel.INI" holds, when valid.
    explicit WizardQuestions(std::ostream& out);
    void Start();
    // One answer line, without its line end.
    void Answer(std::string_view line);
    void EndOfInput();
    bool Done() const { return step_ == Step::Done; }
    const WizardValues& Values() const { return values_; }

private:
    enum class Step { Host, Port, NewsDirectory, ListenPort, Done };
    void Ask();
    void Take(const std::string& answer);

    std::ostream& out_;
    WizardValues values_;
    Step step_ = Step::Host;
};

// The same questions asked on out with the answers read from in.
WizardValues AskWizard(std::istream& in, std::ostream& out);

// The line that tells how to configure the upstream server by hand.
std::string UpstreamHowToLine();
