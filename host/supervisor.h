// The supervisor: the one thread that owns the host's state and makes every status report.
//
// Its life is one loop over events. Each turn it waits for whatever the phase it is in can
// bring, and handles the first that comes:
//
//   a control        the control handler recorded it (ControlInbox) and set the inbox's event
//   a script's end   the start script's or the stop script's process has ended
//   the agent's end  the process the pid file named has ended
//   a process's end  one of the processes of the host's job that a stop waits for has ended
//   the pid file     a file of the pid file's folder has changed (a change notification)
//   a deadline       the next checkpoint (once a second in a pending state), the next look at
//                    the pid file, the end of a restart's wait, the stop's StopTimeout
//
// Everything it decides by lives in one record (HostRecord), which only this thread reads and
// writes; the status reported is the record's status, sent whole. To add an event: give the
// record what the wait needs (a handle, a deadline), add it to waitables() or nextDeadline(),
// and handle it in run()'s dispatch.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/host_state.h"

namespace vornel::host {

// What the supervisor goes by: the settings read once per service start.
struct HostSettings {
    std::string serviceName;
    std::string pidFile;
    bool legacy = false;
    bool restartSetting = true;     // Restart is not "false"
    uint32_t throttleSeconds = 60;  // RestartThrottle; 0: restart at once
    bool jobOfAnEarlierRun = false;  // the host's job was there already, left by an earlier run
    TraceFiles traceFiles;
};

// Where the host stands.
enum class Phase {
    CycleDue,          // the next start cycle begins at once (the first, or a restart)
    Starting,          // the start script runs
    WaitingForPid,     // the start script has ended; the pid file is read until it names a new pid
    Supervising,       // the agent runs; the host waits for its end
    Unsupervised,      // legacy mode: the agent runs and nobody waits for it
    WaitingToRestart,  // the agent ended after a short run; the restart waits (paused)
    Stopping,          // a stop is under way
    Stopped,           // stopped has been reported: nothing more is reported or launched
};

// The steps of a stop.
enum class StopStep {
    WaitingForStartScript,  // a start script still runs: the agent it starts is stopped like any other
    StopScript,             // the stop script runs
    WaitingForLaunched,     // what the host launched is let end
};

// A process the host launched or watches: its handle and its pid.
struct Watched {
    ProcessHandle handle;
    uint32_t pid = 0;
    bool running() const { return handle.valid(); }
};

// The one record of the host's state.
struct HostRecord {
    ServiceStatus status;  // as last reported
    Phase phase = Phase::CycleDue;
    bool restart = true;           // the agent is started again when it ends
    bool stopRequested = false;    // a stop control came (never cleared)
    bool supervisionEnded = false;  // the control 128 came (never cleared)
    unsigned cycles = 0;           // start cycles begun

    // Deadlines, as tick counts.
    std::optional<uint64_t> nextCheckPointAt;  // pending states raise the checkpoint once a second
    std::optional<uint64_t> restartAt;         // WaitingToRestart
    std::optional<uint64_t> nextPidLookAt;     // WaitingForPid
    std::optional<uint64_t> stopDeadline;      // Stopping, from StopTimeout

    // The start cycle.
    Watched startScript, stopScript, agent;
    uint64_t startScriptLaunchedAt = 0;  // system time: an agent created before cannot be its
    bool startScriptInJob = false;      // the job holds what the start script started
    bool agentEndable = false;          // a forced end may end the agent by its handle
    int32_t lastPid = 0;       // the pid the file held before the start script
    int pidAttempt = -1;       // the pid wait's attempt, from -1
    uint64_t runBeganAt = 0;   // the start script's launch: an agent's run counts from here
    unsigned shortRunsInARow = 0;
    uint32_t restartDelaySeconds = 0;
    DirectoryWatch pidFolderWatch;  // while the pid file is waited for; not valid without a watch

    // The host's account of itself (the Runtime key).
    unsigned starts = 0;                     // start-script runs since the service started
    std::optional<std::string> agentSince;   // the supervised agent's creation time
    std::optional<std::string> lastExit;     // "<exit code> at <time>" of the agent's last end
    std::optional<std::string> restartAtText;
    std::optional<std::string> outcome;      // once stopped
    std::optional<std::string> forcedEnd;    // what StopTimeout ended

    // The stop.
    StopStep stopStep = StopStep::WaitingForLaunched;
    std::optional<uint32_t> stopTimeoutSeconds;
    std::vector<Watched> jobProcesses;  // the job's processes the stop waits for
};

// What the loop waits for in one turn: the handles and what each stands for.
enum class Source { Control, StartScript, StopScript, Agent, JobProcess, PidFolder };

class Supervisor {
public:
    Supervisor(HostContext& host, HostSettings settings);
    // Runs the start cycles and the stop until stopped has been reported.
    void run();
    // Without a pid file there is no agent to find: stopped at once (1066 / 1).
    void stopWithoutPidFile();

private:
    // --- The loop (supervisor.cpp) ---
    struct Turn {
        std::vector<Waitable> handles;
        std::vector<Source> sources;
        std::vector<size_t> jobIndex;  // for JobProcess: which of record_.jobProcesses
    };
    Turn waitables() const;
    std::optional<uint64_t> nextDeadline() const;
    void onSignaled(Source source, size_t jobIndex);
    void onDeadlines(uint64_t now);
    void lookAfterFailedWait(const Turn& turn, uint32_t timeout);

    // --- Reports ---
    // Sets the state with the checkpoint and wait hint it goes with (1 and its hint in a
    // pending state, 0 and 0 otherwise), the controls it accepts and the exit codes, and
    // reports it.
    ErrorCode enterState(uint32_t state, uint32_t accepted, uint32_t win32 = 0, uint32_t specific = 0);
    ErrorCode report();
    // Stopped, reported again a second later while the report fails (at most ten times); the
    // loop ends with it.
    void reportStopped(uint32_t win32, uint32_t specific, const std::string& outcome);
    // Ends what still runs in the job, before a stopped report: nothing the host launched runs
    // on once it has reported stopped.
    void endTheJob();
    void onCheckPoint();
    // Writes the Runtime key's values that changed since the last time, and removes those that
    // no longer apply. A key that cannot be written is given up, with a trace line.
    void publishRuntime();
    std::map<std::string, std::string> runtimeValues() const;

    // --- The start cycle ---
    void beginStartCycle();
    void launchStartScript();
    void onStartScriptEnded();
    void startScriptDone();
    void beginPidWait();
    // A look at the pid file: one of the wait's once-a-second attempts, or a look after a change.
    void lookAtPidFile(bool attempt);
    void onPidLookDue();
    void onPidFolderChanged();
    void leavePidWait();
    void adoptAgent(int32_t pid);
    // The process's creation time as the Runtime key records it; absent when it cannot be read.
    std::optional<std::string> creationTime(const ProcessHandle& process);
    // Whether the live process the pid file names, created at `since`, is the agent an earlier
    // run of the host started: a process of the job that run left, or the pid and creation
    // time its Runtime key recorded.
    bool startedByAnEarlierRun(uint32_t pid, const std::optional<std::string>& since);
    // Supervises the process the pid file names again, without the start script, when it is
    // the agent an earlier run started; false when it is not, or cannot be opened.
    bool takeBack(uint32_t pid);
    // Whether the host started the agent (it is a process of the job), so that a forced end
    // may end it; a warning event when not.
    bool startedHere(const Watched& agent);
    void onAgentEnded();
    void reportAgentEnded(uint32_t pid, const std::optional<uint32_t>& exitCode);
    void afterAgent(const std::optional<uint32_t>& exitCode);
    void waitToRestart(uint64_t ranMs, uint32_t seconds);
    void onRestartDue();

    // --- Controls (control_handler.cpp) ---
    void onControl(uint32_t control);
    void onStopControl();
    void onSupervisionEndControl();
    void onContinueControl();

    // --- The stop (stop.cpp) ---
    bool launchedProcessesRun();
    void beginStop();
    // StopTimeout's clock, from now: the stop, and the end of supervision (128), may take so long.
    void startStopClock();
    void runStopScript();
    void onStopScriptEnded();
    void waitForLaunched();
    void refreshJobProcesses();
    void onJobProcessEnded(size_t index);
    void onStopDeadline();
    std::string endWhatRuns();
    void finishStop();

    HostContext& host_;
    Platform& os_;
    const HostSettings settings_;
    uint32_t hostPid_ = 0;
    HostRecord record_;
    RegKey runtimeKey_;
    bool runtimeGivenUp_ = false;
    std::map<std::string, std::string> runtimeWritten_;  // as last written
};

}  // namespace vornel::host
