// vqjournal: copies the systemd journal into the System event log. Runs as the service
// "VqJournal" (SIGTERM or "vqsc stop VqJournal" stops it); reads its settings from the
// registry at start and resumes after the last entry it copied. See docs/vqjournal.md.
#include "pal/windows.h"
#include "standins/standin_service.h"
#include "standins/vqjournal/config.h"
#include "standins/vqjournal/copier.h"
#include "standins/vqjournal/event_sink.h"
#include "standins/vqjournal/log.h"
#include "standins/vqjournal/sd_journal_source.h"

namespace {

constexpr char kServiceName[] = "VqJournal";

standin::ServiceFrame g_service("vqjournal");

void WINAPI ServiceMain(DWORD, LPSTR*) {
    if (!g_service.Begin(kServiceName, 30000)) return;
    vqjournal::Config config = vqjournal::ReadConfig();
    for (const std::string& problem : config.problems) vqjournal::Log("configuration: %s", problem.c_str());
    {
        vqjournal::SdJournalSource source;
        vqjournal::EventSink sink;
        vqjournal::Copier copier(config, source, sink, g_service.stop);
        std::string reason, where;
        if (!source.Open(config.directory, &reason)) {
            vqjournal::Log("cannot open the journal %s: %s",
                           config.directory.empty() ? "of this machine" : config.directory.c_str(), reason.c_str());
            g_service.exitCode = ERROR_FILE_NOT_FOUND;
        } else if (!copier.Start(where, reason)) {
            vqjournal::Log("cannot position the journal: %s", reason.c_str());
            g_service.exitCode = ERROR_GEN_FAILURE;
        } else {
            g_service.Report(SERVICE_RUNNING);
            vqjournal::Log("running: journal %s, starting %s, priorities 0-%lu, %zu unit(s), %zu identifier(s)",
                           config.directory.empty() ? "of this machine" : config.directory.c_str(), where.c_str(),
                           static_cast<unsigned long>(config.maxPriority), config.units.size(),
                           config.identifiers.size());
            copier.Run();
            g_service.Report(SERVICE_STOP_PENDING, 10000);
            vqjournal::Log("copied %llu of %llu entries read", static_cast<unsigned long long>(copier.copied()),
                           static_cast<unsigned long long>(copier.read()));
        }
    }
    vqjournal::Log(g_service.exitCode == NO_ERROR ? "stopped" : "not started (error %lu)",
                   static_cast<unsigned long>(g_service.exitCode));
    g_service.End();
}

}  // namespace

int main() {
    return g_service.Dispatch(kServiceName, ServiceMain);
}
