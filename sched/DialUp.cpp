#include "sched/DialUp.h"

#include "core/File.h"
#include "sched/NmDialUp.h"
#include "sched/SimDialUp.h"
#include "settings/Profile.h"
#include "settings/Setup.h"

std::unique_ptr<DialUp> MakeDialUp(EventLoop& loop, const Setup& setup, DialUp::LogFn log) {
    const std::string backend = setup.GetRasBackend();
    if (backend.size() >= 3 && (backend[0] == 's' || backend[0] == 'S') &&
        (backend[1] == 'i' || backend[1] == 'I') && (backend[2] == 'm' || backend[2] == 'M')) {
        const std::string file = profile::GetString(setup.IniPath(), "ras", "SimScript", "", 4096);
        std::string script;
        if (!file.empty()) {
            if (auto text = files::ReadWholeFile(file)) {
                script = std::move(*text);
            } else if (log) {
                log("[RAS] Simulation script " + file + " could not be read; dials will time out");
            }
        }
        return std::make_unique<SimDialUp>(loop, script, std::move(log));
    }
    return std::make_unique<NmDialUp>(loop, std::move(log));
}
