// The info tool's questions about a service as it runs (-getservicedetails, -getagentpid) and
// about how it is installed (-getinstallcommand), with the host's Runtime values written as
// the host writes them; and the readers of those values.
#include "common/runtime.h"
#include "host/host.h"
#include "host_runtime.h"
#include "info/info_tool.h"
#include "install/install.h"
#include "tool_test.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

class InfoQuestionTest : public ToolTest {
protected:
    InfoQuestionTest() : ToolTest(vornelAgentServiceInfoMain, "VornelAgentServiceInfo.exe") {}
};

// --- -getservicedetails and -getagentpid ---

// What the host has written and what became of the service; the pids of the host and the agent.
using Scenario = void (*)(MemoryPlatform& os, HostRuntime& host, uint32_t& agent);

struct DetailsRow {
    const char* name;
    Scenario scenario;
    int status;
    std::string lines;  // "<host>" and "<agent>" stand for their pids
};

std::string withPids(std::string text, uint32_t host, uint32_t agent) {
    for (auto [mark, pid] : {std::pair<std::string, uint32_t>{"<host>", host}, {"<agent>", agent}}) {
        const size_t at = text.find(mark);
        if (at != std::string::npos) text.replace(at, mark.size(), std::to_string(pid));
    }
    return text;
}

class DetailsTest : public InfoQuestionTest, public ::testing::WithParamInterface<DetailsRow> {};

TEST_P(DetailsTest, OneLinePerDetailThatHasAValueAndTheStatusOfTheState) {
    const DetailsRow& row = GetParam();
    InstalledService().install(os);
    HostRuntime host(os, kFullName);
    uint32_t agent = 0;
    row.scenario(os, host, agent);
    Outcome details = runCapturing({"-getservicedetails", kShortName});
    EXPECT_EQ(details.status, row.status);
    EXPECT_EQ(details.out, "Service: " + kFullName + "\n" + withPids(row.lines, host.pid(), agent));
    EXPECT_EQ(details.err, "");
    // The agent's pid alone: the supervised agent's, exactly when the details answer 0.
    Outcome pid = runCapturing({"-getagentpid", kShortName});
    EXPECT_EQ(pid.status, 0);
    EXPECT_EQ(pid.out, "Agent Pid - " + (row.status == 0 ? std::to_string(agent) : std::string("<null>")));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DetailsTest,
    ::testing::Values(
        DetailsRow{"Supervising",
                   [](MemoryPlatform& os, HostRuntime& host, uint32_t& agent) {
                       agent = host.start().write(kRuntimeStarts, "1").supervise("2026-12-08 00:00:00 UTC");
                       os.advance(65000);
                   },
                   0,
                   "State: running\nPhase: supervising\nHost pid: <host>\nAgent pid: <agent>\n"
                   "Agent running since: 2026-12-08 00:00:00 UTC (1 min 5 s ago)\nAgent starts: 1\nExit codes: 0 / 0\n"},
        DetailsRow{"WaitingToRestart",
                   [](MemoryPlatform&, HostRuntime& host, uint32_t&) {
                       host.start(kPhaseWaitingToRestart, win::kServicePaused)
                           .write(kRuntimeStarts, "4")
                           .write(kRuntimeLastExit, "3 at 2026-12-08 00:00:40 UTC")
                           .write(kRuntimeRestartAt, "2026-12-08 00:00:48 UTC");
                   },
                   2,
                   "State: paused\nPhase: waiting to restart\nHost pid: <host>\nAgent starts: 4\n"
                   "Last agent exit: 3 at 2026-12-08 00:00:40 UTC\nRestart at: 2026-12-08 00:00:48 UTC\n"
                   "Exit codes: 0 / 0\n"},
        DetailsRow{"SupervisingAnAgentThatHasEnded",
                   [](MemoryPlatform& os, HostRuntime& host, uint32_t& agent) {
                       agent = host.start().supervise("a while ago");
                       os.endProcess(agent);
                   },
                   2,
                   "State: running\nPhase: supervising\nHost pid: <host>\nAgent pid: <agent>\n"
                   "Agent running since: a while ago\nExit codes: 0 / 0\n"},
        DetailsRow{"StoppedWithItsOutcome",
                   [](MemoryPlatform&, HostRuntime& host, uint32_t&) {
                       host.start().write(kRuntimeStarts, "1").stop("no new pid in the pid file within 31 s", 1066, 1);
                   },
                   1,
                   "State: stopped\nPhase: stopped\nAgent starts: 1\nOutcome: no new pid in the pid file within 31 s\n"
                   "Exit codes: 1066 / 1\n"},
        DetailsRow{"StoppedByAHostThatDiedAndLeftItsAgent",
                   [](MemoryPlatform& os, HostRuntime& host, uint32_t& agent) {
                       agent = host.start().supervise("2026-12-08 00:00:00 UTC");
                       os.endProcess(host.pid());
                       os.setServiceState(kFullName, win::kServiceStopped);
                       os.setServiceExitCodes(kFullName, 1067, 0);
                   },
                   1,
                   "State: stopped\nPhase: supervising\nAgent pid: <agent>\n"
                   "Agent running since: 2026-12-08 00:00:00 UTC (0 s ago)\nExit codes: 1067 / 0\n"},
        DetailsRow{"StoppedAndTheAgentGoneToo",
                   [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                       os.endProcess(host.start().supervise());
                       os.endProcess(host.pid());
                       os.setServiceState(kFullName, win::kServiceStopped);
                   },
                   1, "State: stopped\nPhase: supervising\nExit codes: 0 / 0\n"},
        DetailsRow{"RunningWithoutValuesOfItsHost",
                   [](MemoryPlatform& os, HostRuntime&, uint32_t&) {
                       os.setServiceState(kFullName, win::kServiceRunning);
                   },
                   2, "State: running\nExit codes: 1077 / 0\n"},
        DetailsRow{"RunningWithTheValuesOfAnotherProcess",
                   [](MemoryPlatform&, HostRuntime& host, uint32_t&) {
                       host.start().supervise();
                       host.write(kRuntimeHostPid, "4");
                   },
                   2, "State: running\nExit codes: 0 / 0\n"}),
    rowName<DetailsRow>);

TEST_F(InfoQuestionTest, DetailsOfAServiceThatIsNotInstalledAnswer3AndTheOpenReport) {
    Outcome details = runCapturing({"-getservicedetails", kShortName});
    EXPECT_EQ(details.status, 3);
    EXPECT_EQ(details.out, "");
    EXPECT_EQ(details.err, openFailure(win::kErrorServiceDoesNotExist));
    EXPECT_EQ(runCapturing({"-getagentpid", kShortName}).out, "Agent Pid - <null>");
}

TEST_F(InfoQuestionTest, DetailsWhoseStatusQueryFailsAnswerMinusOneAndTheReason) {
    InstalledService().state(win::kServiceRunning).install(os);
    os.failNext(Op::QueryServiceStatusEx, win::kErrorAccessDenied);
    Outcome details = runCapturing({"-getservicedetails", kShortName});
    EXPECT_EQ(details.status, -1);
    EXPECT_EQ(details.out, "Failed to get status: Access Denied");
}

// --- -getinstallcommand ---

// The arguments a program gets from a line typed at the command interpreter's prompt: the
// interpreter drops each caret outside its quotes (where an unescaped &, |, < or > would end or
// redirect the command), then the C runtime splits the line.
std::vector<std::string> argumentsOf(const std::string& line) {
    std::string typed;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (!quoted && std::string("&|<>").find(line[i]) != std::string::npos) ADD_FAILURE() << "unescaped: " << line;
        if (line[i] == '^' && !quoted && i + 1 < line.size()) ++i;
        typed += line[i];
    }
    std::vector<std::string> args;
    std::string arg;
    bool inQuotes = false;
    bool any = false;
    for (size_t i = 0; i < typed.size();) {
        size_t slashes = 0;
        for (; i < typed.size() && typed[i] == '\\'; ++i) ++slashes;
        const bool quote = i < typed.size() && typed[i] == '"';
        arg.append(quote ? slashes / 2 : slashes, '\\');
        any = any || slashes > 0;
        if (quote) {
            if (slashes % 2 == 1) arg += '"';
            if (slashes % 2 == 0) inQuotes = !inQuotes;
            ++i;
            any = true;
        } else if (i < typed.size()) {
            const char c = typed[i++];
            if ((c == ' ' || c == '\t') && !inQuotes) {
                if (any) args.push_back(arg);
                arg.clear();
                any = false;
            } else {
                arg += c;
                any = true;
            }
        }
    }
    if (any) args.push_back(arg);
    return args;
}

struct InstallCommandRow {
    const char* name;
    std::vector<std::string> install;  // the installer's options, -servicename first
    std::string asked;                 // the name -getinstallcommand is given
};

class InstallCommandTest : public InfoQuestionTest, public ::testing::WithParamInterface<InstallCommandRow> {
protected:
    static int install(MemoryPlatform& platform, std::vector<std::string> args) {
        args.insert(args.begin(), "InstallVornelAgentService.exe");
        Argv argv(std::move(args));
        return installVornelAgentServiceMain(platform, argv.argc(), argv.argv());
    }
};

TEST_P(InstallCommandTest, TheCommandRunOnAFreshRegistryStoresTheSameSettings) {
    const InstallCommandRow& row = GetParam();
    ASSERT_EQ(install(os, row.install), 0);
    Outcome answer = runCapturing({"-getinstallcommand", row.asked});
    ASSERT_EQ(answer.status, 0);
    EXPECT_EQ(answer.err, "");
    ASSERT_EQ(answer.out.back(), '\n');
    std::vector<std::string> args = argumentsOf(answer.out.substr(0, answer.out.size() - 1));
    ASSERT_EQ(args.at(0), "InstallVornelAgentService.exe");
    MemoryPlatform fresh;
    ASSERT_EQ(install(fresh, std::vector<std::string>(args.begin() + 1, args.end())), 0) << answer.out;

    const InstalledService service(row.install.at(1));
    EXPECT_EQ(valuesOf(fresh, service.parametersKey()), valuesOf(os, service.parametersKey())) << answer.out;
    EXPECT_EQ(fresh.stringValue(service.serviceKey(), kDescription), os.stringValue(service.serviceKey(), kDescription));
    const ServiceConfig recreated = fresh.service(service.fullName()).value().config;
    const ServiceConfig stored = os.service(service.fullName()).value().config;
    EXPECT_EQ(recreated.name, stored.name);
    EXPECT_EQ(recreated.displayName, stored.displayName);
    EXPECT_EQ(recreated.startType, stored.startType);
    EXPECT_EQ(recreated.binaryPathName, stored.binaryPathName);
    EXPECT_EQ(recreated.account, stored.account);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallCommandTest,
    ::testing::Values(
        InstallCommandRow{"AsTheInstallerLeavesIt",
                          {"-servicename", "node1", "-agentname", "agent1", "-agenthome", "C:\\agent"}, "node1"},
        InstallCommandRow{"EncodedArgumentsWithQuotesAndTheInterpretersCharacters",
                          {"-servicename", "node1", "-agentname", "the agent", "-agenthome", "C:\\Program Files\\agent\\",
                           "-startargs", "-Dx=\"a & b\" -Dy=1|2", "-stopargs", "-q \"C:\\a b\\\\\" ^(ok)",
                           "-encodeparams", "-restart", "FALSE", "-starttype", "automatic", "-servicetrace", "on"},
                          "node1"},
        InstallCommandRow{"PlainArgumentsALocalAccountAndNoPrefix",
                          {"-servicename", "Node2", "-agentname", "agent2", "-agenthome", "C:\\agents\\two\\", "-startargs",
                           "-Xmx512m -Dq=<x>", "-userid", "bob", "-password", "secret", "-noprefix", "-starttype",
                           "disabled"},
                          "NODE2"},
        InstallCommandRow{"EncodedWithTheNameAsRegisteredAndTheSystemsOwnAccount",
                          {"-servicename", "Node3", "-agentname", "agent3", "-agenthome", "D:\\a3", "-startargs",
                           "-Da -Db", "-encodeparams", "-userid", "localservice"},
                          "node3"}),
    rowName<InstallCommandRow>);

TEST_F(InfoQuestionTest, TheInstallCommandOfADefaultServiceNamesEverySettingTheInstallerTakes) {
    InstalledService().install(os);
    Outcome answer = runCapturing({"-getinstallcommand", kShortName});
    EXPECT_EQ(answer.out,
              "InstallVornelAgentService.exe -servicename node1 -agentname agent1 -agenthome C:\\agent -restart true "
              "-starttype manual -servicetrace off\n");
}

TEST_F(InfoQuestionTest, AnEncodedValueThatDoesNotDecodeIsLeftOutWithAWarning) {
    InstalledService().encoded("on").storedValue(kStartupArguments, "XYZ").install(os);
    Outcome answer = runCapturing({"-getinstallcommand", kShortName});
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.err, "Warning: StartupArguments does not decode; the command leaves it out.\n");
    EXPECT_EQ(answer.out.find("-startargs"), std::string::npos);
    EXPECT_NE(answer.out.find(" -encodeparams "), std::string::npos);
}

TEST_F(InfoQuestionTest, NoInstallCommandWithoutTheServiceOrItsAgentHome) {
    Outcome missing = runCapturing({"-getinstallcommand", kShortName});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, openFailure(win::kErrorServiceDoesNotExist));
    InstalledService().agentHome(std::nullopt).install(os);
    Outcome half = runCapturing({"-getinstallcommand", kShortName});
    EXPECT_EQ(half.status, -1);
    EXPECT_EQ(half.out, "");
    EXPECT_EQ(half.err, "Could not read the service's AgentHome value: no command can recreate it.\n");
}

// --- The readers of the host's values ---

TEST(RuntimeTimes, TheHostsTimesReadBackToTheSecond) {
    for (uint64_t time : {uint64_t{0}, uint64_t{13441161600000}, uint64_t{13441161600000 + 86399999},
                          uint64_t{13348540799000} /* 2023-12-31 23:59:59 */, uint64_t{13353681600123} /* 2024-02-29 12:00 */}) {
        EXPECT_EQ(parseSystemTime(host::formatSystemTime(time)), time / 1000 * 1000) << host::formatSystemTime(time);
    }
    for (const char* text : {"2026-12-08 00:00:00", "2026-13-08 00:00:00 UTC", "2026-12-08T00:00:00 UTC",
                             "2026-12-08 24:00:00 UTC", "2026-12-0a 00:00:00 UTC", ""}) {
        EXPECT_EQ(parseSystemTime(text), std::nullopt) << text;
    }
}

TEST(RuntimeTimes, DurationsReadToTheSecondInTheirLargestUnits) {
    const std::pair<uint64_t, const char*> rows[] = {{999, "0 s"},           {59999, "59 s"},
                                                     {60000, "1 min 0 s"},   {3599999, "59 min 59 s"},
                                                     {3600000, "1 h 0 min"}, {90061000, "1 d 1 h"}};
    for (const auto& [ms, text] : rows) EXPECT_EQ(formatDuration(ms), text) << ms;
}

}  // namespace
}  // namespace vornel::testing
