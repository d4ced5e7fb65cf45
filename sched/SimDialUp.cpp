#include "sched/SimDialUp.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "core/Text.h"
#include "net/EventLoop.h"

namespace {

using text::EqualsNoCase;

std::string Trim(std::string_view s) { return std::string(text::Trim(s, " \t\r")); }

// "250ms", "2s", "250": milliseconds; -1 when it is none of these.
int ParseDelay(const std::string& text) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || n < 0) return -1;
    const std::string unit = end;
    if (unit.empty() || unit == "ms") return static_cast<int>(n);
    if (unit == "s") return static_cast<int>(n * 1000);
    return -1;
}

bool ParseNumber(const std::string& text, int& value) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') return false;
    value = static_cast<int>(n);
    return true;
}

}  // namespace

SimDialUp::SimDialUp(EventLoop& loop, std::string_view script, LogFn log)
    : loop_(loop), log_(std::move(log)) {
    Parse(script);
}

SimDialUp::~SimDialUp() {
    for (auto& [handle, line] : lines_)
        for (int t : line.timers) loop_.Cancel(t);
}

void SimDialUp::Parse(std::string_view script) {
    std::istringstream in{std::string(script)};
    std::string raw;
    int number = 0;
    bool inAttempt = false;
    while (std::getline(in, raw)) {
        ++number;
        const std::string text = Trim(raw);
        if (text.empty() || text[0] == '#') continue;
        const auto space = text.find_first_of(" \t");
        const std::string word = text.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : Trim(text.substr(space));
        const auto current = [&]() -> Attempt& {
            if (!inAttempt) {
                attempts_.emplace_back();
                inAttempt = true;
            }
            return attempts_.back();
        };

        if (EqualsNoCase(word, "entry") && !rest.empty()) {
            entries_.push_back(rest);
            continue;
        }
        if (EqualsNoCase(word, "active") && !rest.empty()) {
            active_.push_back(rest);
            continue;
        }
        if (EqualsNoCase(word, "unavailable")) {
            available_ = false;
            unavailableWhy_ = rest.empty() ? "[RAS] Simulated dial-up is unavailable" : rest;
            continue;
        }
        if (EqualsNoCase(word, "listfail")) {
            listFail_ = true;
            continue;
        }
        if (EqualsNoCase(word, "attempt")) {
            attempts_.emplace_back();
            inAttempt = true;
            continue;
        }
        if (EqualsNoCase(word, "fail")) {
            current().fail = true;
            continue;
        }

        // Steps: WORD [N] [after T]
        std::istringstream args(rest);
        std::vector<std::string> a;
        for (std::string w; args >> w;) a.push_back(w);
        Step step;
        bool ok = true;
        std::size_t at = 0;
        if (EqualsNoCase(word, "state") || EqualsNoCase(word, "error")) {
            int n = 0;
            ok = at < a.size() && ParseNumber(a[at++], n);
            if (EqualsNoCase(word, "state"))
                step.state = n;
            else
                step.error = n;
        } else if (EqualsNoCase(word, "connected")) {
            step.state = rasstate::Connected;
        } else if (EqualsNoCase(word, "disconnected")) {
            step.state = rasstate::Disconnected;
        } else {
            ok = false;
        }
        if (ok && at < a.size()) {
            if (EqualsNoCase(a[at], "after")) ++at;
            ok = at + 1 == a.size() && (step.delayMs = ParseDelay(a[at])) >= 0;
        }
        if (!ok) {
            if (log_)
                log_("[RAS] Simulation script line " + std::to_string(number) +
                     " not understood: " + text);
            continue;
        }
        current().steps.push_back(step);
    }
}

bool SimDialUp::Available(std::string* why) const {
    if (!available_ && why != nullptr) *why = unavailableWhy_;
    return available_;
}

void SimDialUp::Answer(ListDone done, bool ok, std::vector<std::string> names) {
    loop_.After(0, [done = std::move(done), ok, names = std::move(names)]() mutable {
        done(ok, std::move(names));
    });
}

void SimDialUp::ListEntries(ListDone done) { Answer(std::move(done), true, entries_); }

void SimDialUp::ListActive(ListDone done) {
    if (listFail_)
        Answer(std::move(done), false, {});
    else
        Answer(std::move(done), true, active_);
}

int SimDialUp::Dial(const DialParams& params, Progress progress, std::uintptr_t& handle) {
    const std::size_t index = static_cast<std::size_t>(dials_++);
    dialled.push_back(params);
    Attempt attempt;
    if (!attempts_.empty()) attempt = attempts_[std::min(index, attempts_.size() - 1)];
    if (attempt.fail) return 632;

    const std::uintptr_t h = nextHandle_++;
    Line& line = lines_[h];
    line.entry = params.entry;
    int due = 0;
    for (const Step& step : attempt.steps) {
        due += step.delayMs;
        line.timers.push_back(loop_.After(due, [this, h, step, progress] {
            auto it = lines_.find(h);
            if (it == lines_.end()) return;
            if (step.state == rasstate::Connected && step.error == 0) {
                it->second.connected = true;
                active_.push_back(it->second.entry);
            }
            if (step.state == rasstate::Disconnected && it->second.connected) {
                it->second.connected = false;
                auto a = std::find(active_.begin(), active_.end(), it->second.entry);
                if (a != active_.end()) active_.erase(a);
            }
            progress(step.state, step.error);
        }));
    }
    handle = h;
    return 0;
}

void SimDialUp::HangUp(std::uintptr_t handle) {
    auto it = lines_.find(handle);
    if (it == lines_.end()) return;
    ++hangUps_;
    for (int t : it->second.timers) loop_.Cancel(t);
    if (it->second.connected) {
        auto a = std::find(active_.begin(), active_.end(), it->second.entry);
        if (a != active_.end()) active_.erase(a);
    }
    lines_.erase(it);
}
