// Runs the lookup tool on Windows: CreatePipe, CreateProcessA with the
// pipe's write end as the child's standard output, one ReadFile, and the
// handles closed again. The child is neither waited for nor ended.
#include "platform/process.h"

#include <windows.h>

#include <string>

#include "platform/win32/handle.h"
#include "platform/win32/text.h"

namespace verimex::platform {

namespace {

ToolOutput failed(ToolOutput::Failure how, DWORD error)
{
    ToolOutput out;
    out.failure = how;
    // Reported as a signed 32-bit number: an HRESULT-style code with the
    // top bit set reads negative, as the host expects.
    out.error = static_cast<std::int32_t>(error);
    return out;
}

// The library speaks UTF-8; the tool takes its command line and prints its
// output in the ANSI code page.
std::string to_ansi(std::string_view utf8)
{
    return win32::narrow(win32::widen(utf8, CP_UTF8), CP_ACP);
}

std::string from_ansi(std::string_view ansi)
{
    return win32::narrow(win32::widen(ansi, CP_ACP), CP_UTF8);
}

}  // namespace

ToolOutput run_tool(std::string_view command_line, std::size_t limit)
{
    // Both ends inheritable, as the tool's start has always been made: the
    // child needs the write end, and it is handed the same attributes for
    // its process and thread handles.
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;

    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!::CreatePipe(&read_raw, &write_raw, &sa, 0))
        return failed(ToolOutput::Failure::pipe, ::GetLastError());
    win32::Handle read_end(read_raw);
    win32::Handle write_end(write_raw);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    // Without STARTF_USESHOWWINDOW this has no effect; kept as the tool has
    // always been started.
    si.wShowWindow = SW_SHOWMINIMIZED;
    si.hStdInput = nullptr;
    si.hStdOutput = write_end.get();
    si.hStdError = nullptr;

    // CreateProcessA may write into the command line, so it gets its own
    // copy. No application name: the first word is found on the search path.
    std::string command = to_ansi(command_line);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, command.data(), &sa, &sa, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                          &si, &pi)) {
        const DWORD error = ::GetLastError();
        read_end.reset();
        write_end.reset();
        return failed(ToolOutput::Failure::start, error);
    }
    win32::Handle process(pi.hProcess);
    win32::Handle thread(pi.hThread);

    // Our copy of the write end goes before the read: then a child that
    // ends without writing ends the read too (broken pipe), instead of
    // leaving it waiting for ever.
    write_end.reset();

    std::string bytes(limit, '\0');
    DWORD got = 0;
    const DWORD want = limit > MAXDWORD ? MAXDWORD : static_cast<DWORD>(limit);
    DWORD error = ERROR_SUCCESS;
    if (!::ReadFile(read_end.get(), bytes.data(), want, &got, nullptr)) {
        error = ::GetLastError();
        got = 0;
    }

    process.reset();
    thread.reset();
    read_end.reset();

    // The child ended without writing a byte: empty output, no failure.
    if (error != ERROR_SUCCESS && error != ERROR_BROKEN_PIPE)
        return failed(ToolOutput::Failure::read, error);
    bytes.resize(got);
    ToolOutput out;
    out.bytes = from_ansi(bytes);
    return out;
}

}  // namespace verimex::platform
