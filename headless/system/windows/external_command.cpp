// Windows: CreateProcess into a job object of the command's own. The job is
// made to end its processes when its last handle closes, and only this
// process holds that handle, so whatever ends torvane-run, even
// TerminateProcess, takes the whole command with it.
#include <windows.h>

#include <cstdlib>

#include "headless/system/console_text.h"
#include "headless/system/external_command.h"
#include "headless/system/stop_request.h"
#include "headless/system/windows/command_line.h"
#include "headless/system/windows/system_text.h"

// Windows cannot enter a folder by a handle: each command is given the path
// as its current directory, and is not run when the folder has gone.
struct CommandFolder::Handle {};

CommandFolder::CommandFolder(const std::string& path) : path_(path), handle_(std::make_unique<Handle>()) {}

CommandFolder::~CommandFolder() = default;

struct ExternalCommand::State {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    int status = 127;
    bool ended = false;
    ULONGLONG endSeenAt = 0;  // when the process was seen to have ended
    bool stopping = false;    // a stop was passed on: wait for the whole job
    std::string failure;
    HANDLE errorRead = nullptr;  // quiet: the read end of its standard error
    LastLine errorLine;
};

namespace {
// The status a killed command ends with: what a SIGKILL gives on Linux.
constexpr UINT kKilledStatus = 128 + 9;

// What a process ends with when a Ctrl-C or Ctrl-Break ends it (the default
// handler's ExitProcess code, STATUS_CONTROL_C_EXIT).
constexpr DWORD kEndedByConsoleEvent = 0xC000013A;
// The console event reaches each process on a thread the system starts in
// it, in no set order: the command's end can be seen before torvane-run's
// own handler has run, or after it ran but before the host looked (both seen
// under Wine 8 in the Windows tests, where cmd.exe then ends with status 0).
// Such an end is held back up to this long, so that the host sees the stop
// first and the run stops during the command, as on Linux, where a signal to
// the group reaches every process of it at once. A waiter that does not stop
// for stops still sees the end after it.
constexpr ULONGLONG kConsoleEventLagMs = 1000;

// What the C runtime's system() runs: %COMSPEC% (else cmd.exe) with "/c"
// and the text as it is, for cmd.exe to take apart by its own rules.
std::string shellCommandLine(const std::string& text, std::string& application) {
    char comspec[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("COMSPEC", comspec, sizeof comspec);
    application = length > 0 && length < sizeof comspec ? std::string(comspec, length) : std::string();
    return (application.empty() ? std::string("cmd.exe") : application) + " /c " + text;
}

// The standard handles the command is to inherit, made inheritable; no
// other handle of ours is (none is created inheritable), so nothing else
// leaks even where the list below is not honoured.
std::vector<HANDLE> standardHandles(STARTUPINFOA& startup) {
    HANDLE* slots[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    std::vector<HANDLE> inherited;
    for (int i = 0; i < 3; ++i) {
        const HANDLE handle = GetStdHandle(ids[i]);
        *slots[i] = handle;
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
        // Console pseudo-handles of old systems refuse this and are passed
        // on through the console itself.
        if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) continue;
        bool listed = false;
        for (HANDLE h : inherited) listed = listed || h == handle;
        if (!listed) inherited.push_back(handle);  // the list refuses a handle twice
    }
    return inherited;
}

bool jobHasProcesses(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr)) {
        return false;
    }
    return accounting.ActiveProcesses > 0;
}
}  // namespace

ExternalCommand::ExternalCommand(const CommandLine& line, const CommandFolder& folder)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    if (line.argv.empty() || line.argv[0].empty()) {
        state.failure = "no command to run";
        return;
    }
    // Every text of this file is UTF-8; the paths and the command come from
    // the script and argv, in the ANSI code page the *A calls take.
    std::string application;
    std::string commandLine = line.throughShell ? shellCommandLine(line.argv[0], application)
                              : line.asGiven    ? line.argv[0]
                                                : windowsCommandLine(line.argv);

    state.job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!state.job ||
        !SetInformationJobObject(state.job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        state.failure =
            "cannot make a job for the command: " + systemText(GetLastError()) + "; the command was not run";
        return;
    }

    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    std::vector<HANDLE> inherited = standardHandles(startup.StartupInfo);
    // Quiet: NUL for input and output, a pipe for standard error; the
    // parent's copies of what the command gets are closed once it has them.
    HANDLE quietNull = nullptr, errorWrite = nullptr;
    if (line.quiet) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        quietNull = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                OPEN_EXISTING, 0, nullptr);
        if (quietNull == INVALID_HANDLE_VALUE || !CreatePipe(&state.errorRead, &errorWrite, &inheritable, 0)) {
            state.failure = "cannot start a command: " + systemText(GetLastError());
            if (quietNull != INVALID_HANDLE_VALUE) CloseHandle(quietNull);
            return;
        }
        SetHandleInformation(state.errorRead, HANDLE_FLAG_INHERIT, 0);
        startup.StartupInfo.hStdInput = quietNull;
        startup.StartupInfo.hStdOutput = quietNull;
        startup.StartupInfo.hStdError = errorWrite;
        inherited = {quietNull, errorWrite};
    }
    SIZE_T attributeSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
    std::vector<unsigned char> attributeBytes(attributeSize);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBytes.data());
    bool listed = !inherited.empty() && InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize) &&
                  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                            inherited.size() * sizeof(HANDLE), nullptr, nullptr);
    if (listed) startup.lpAttributeList = attributes;

    // Suspended until it is in the job, so that nothing it starts escapes.
    // The console and the process group stay ours: a Ctrl-C or Ctrl-Break
    // reaches the command as it reaches torvane-run.
    const std::string directory = folder.path();
    PROCESS_INFORMATION started = {};
    // Nothing to pass on: nothing inherited at all, whatever is inheritable.
    const BOOL inheritHandles = inherited.empty() ? FALSE : TRUE;
    const BOOL created = CreateProcessA(application.empty() ? nullptr : application.c_str(), commandLine.data(),
                                        nullptr, nullptr, inheritHandles,
                                        CREATE_SUSPENDED | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                                        directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                                        &started);
    const DWORD createError = GetLastError();
    if (listed) DeleteProcThreadAttributeList(attributes);
    if (line.quiet) {
        CloseHandle(quietNull);
        CloseHandle(errorWrite);
    }
    if (!created) {
        const DWORD folderAttributes =
            directory.empty() ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesA(directory.c_str());
        if (folderAttributes == INVALID_FILE_ATTRIBUTES || !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            state.failure = "cannot enter the script's folder " + fromScript(directory) + ": " +
                            systemText(folderAttributes == INVALID_FILE_ATTRIBUTES ? GetLastError()
                                                                                   : ERROR_DIRECTORY) +
                            "; the command was not run";
        } else {
            state.failure = "cannot run " +
                            fromScript(line.throughShell ? (application.empty() ? "cmd.exe" : application)
                                                         : line.argv[0]) +
                            ": " + systemText(createError);
        }
        return;
    }
    if (!AssignProcessToJobObject(state.job, started.hProcess)) {
        const DWORD error = GetLastError();
        TerminateProcess(started.hProcess, kKilledStatus);
        WaitForSingleObject(started.hProcess, INFINITE);  // it never ran a single instruction of its own
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        state.failure = "cannot put the command into a job of its own: " + systemText(error) +
                        "; the command was not run";
        return;
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    state.process = started.hProcess;
}

ExternalCommand::~ExternalCommand() {
    State& state = *state_;
    if (state.process) {
        if (!state.ended || state.stopping) killAll();
        WaitForSingleObject(state.process, INFINITE);
        CloseHandle(state.process);
    }
    if (state.job) {
        if (state.ended && !state.stopping) {
            // The command ended by itself: what it left running on purpose
            // ("start notepad") stays, as after system() and as on Linux,
            // where a group outlives its first process.
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            SetInformationJobObject(state.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        CloseHandle(state.job);
    }
    if (state.errorRead) CloseHandle(state.errorRead);
}

std::string ExternalCommand::lastErrorLine() {
    State& state = *state_;
    char bytes[4096];
    for (DWORD waiting = 0; state.errorRead && PeekNamedPipe(state.errorRead, nullptr, 0, nullptr, &waiting, nullptr) &&
                            waiting > 0;) {
        DWORD got = 0;
        if (!ReadFile(state.errorRead, bytes, waiting < sizeof bytes ? waiting : sizeof bytes, &got, nullptr) ||
            got == 0)
            break;
        state.errorLine.add(bytes, got);
    }
    return state.errorLine.text();
}

bool ExternalCommand::started() const { return state_->failure.empty(); }

const std::string& ExternalCommand::failure() const { return state_->failure; }

int ExternalCommand::status() const { return state_->status; }

// The console has no foreground to hand over: a Ctrl-C typed there reaches
// every process attached to it, torvane-run included.
bool ExternalCommand::hadTerminal() const { return false; }

bool ExternalCommand::waitUpTo(std::uint32_t milliseconds) {
    State& state = *state_;
    if (!state.process) return true;
    const ULONGLONG end = GetTickCount64() + milliseconds;
    if (!state.ended) {
        if (!state.endSeenAt) {
            if (WaitForSingleObject(state.process, milliseconds) != WAIT_OBJECT_0) return false;
            DWORD code = 127;
            GetExitCodeProcess(state.process, &code);
            state.status = static_cast<int>(code);
            state.endSeenAt = GetTickCount64();
        }
        const bool eventInFlight = static_cast<DWORD>(state.status) == kEndedByConsoleEvent || stopSignalled();
        if (eventInFlight && !state.stopping && GetTickCount64() - state.endSeenAt < kConsoleEventLagMs) {
            Sleep(milliseconds < 10 ? milliseconds : 10);
            return false;
        }
        // Read as Linux reads a command that a signal ended: 128 + the
        // stop's number (Ctrl-C 2, Ctrl-Break 21).
        if (static_cast<DWORD>(state.status) == kEndedByConsoleEvent) {
            state.status = 128 + (stopSignal() ? stopSignal() : 2);
        }
        state.ended = true;
    }
    if (!state.stopping) return true;
    // The job signals no end of its processes by itself; look every 10 ms.
    for (;;) {
        if (!jobHasProcesses(state.job)) return true;
        const ULONGLONG now = GetTickCount64();
        if (milliseconds == UINT32_MAX) {
            Sleep(10);
        } else if (now >= end) {
            return false;
        } else {
            Sleep(static_cast<DWORD>(end - now < 10 ? end - now : 10));
        }
    }
}

// The console has already delivered the Ctrl-C, Ctrl-Break or close to
// every process attached to it, the command's included: there is nothing to
// send, only the wait to widen to the whole job. A run stopped for lost
// output has no event that would reach the command alone (one sent to our
// process group reaches us too), so its command has the grace period and is
// then ended.
void ExternalCommand::passOn(int) { state_->stopping = true; }

void ExternalCommand::killAll() {
    State& state = *state_;
    state.stopping = true;
    if (state.job) TerminateJobObject(state.job, kKilledStatus);
}

// Windows has no orphans to reap: a process's end needs no wait by its parent.
void reapOrphans() {}
