// Runs the lookup tool on Windows: CreatePipe, CreateProcessA with the
// pipe's write end as the child's standard output, one ReadFile, and the
// handles closed again. The child is neither waited for nor ended.
#include "platform/process.h"

#include <windows.h>

#include <string>
#include <vector>

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

// The attribute list that limits what a child inherits to the handles
// named in it, whatever else of the process is inheritable at the time.
class InheritOnly {
public:
    explicit InheritOnly(HANDLE handle) : handles_{handle}
    {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            error_ = ::GetLastError();
            return;
        }
        list_ = list;
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, sizeof handles_,
                                         nullptr, nullptr))
            error_ = ::GetLastError();
    }
    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;
    ~InheritOnly()
    {
        if (list_)
            ::DeleteProcThreadAttributeList(list_);
    }
    // ERROR_SUCCESS when the list is ready.
    DWORD error() const { return error_; }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    HANDLE handles_[1];
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
};

}  // namespace

ToolOutput run_tool(std::string_view command_line, std::size_t limit)
{
    const ToolFault fault = take_tool_fault();

    // Neither end is inheritable when it is made: a child that another
    // thread starts meanwhile gets neither. Only the write end becomes
    // inheritable, just before the start, and the attribute list below
    // hands it (and nothing else) to our child alone; the read end never
    // reaches a child, so the tool cannot keep its own pipe open and block
    // on it once we stop reading.
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;

    if (fault.at(ToolOutput::Failure::pipe))
        return failed(ToolOutput::Failure::pipe, static_cast<DWORD>(fault.error));
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!::CreatePipe(&read_raw, &write_raw, &sa, 0))
        return failed(ToolOutput::Failure::pipe, ::GetLastError());
    win32::Handle read_end(read_raw);
    win32::Handle write_end(write_raw);

    STARTUPINFOEXA si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    // Without STARTF_USESHOWWINDOW this has no effect; kept as the tool has
    // always been started.
    si.StartupInfo.wShowWindow = SW_SHOWMINIMIZED;
    si.StartupInfo.hStdInput = nullptr;
    si.StartupInfo.hStdOutput = write_end.get();
    si.StartupInfo.hStdError = nullptr;

    // CreateProcessA may write into the command line, so it gets its own
    // copy. No application name: the first word is found on the search path.
    std::string command = to_ansi(command_line);
    PROCESS_INFORMATION pi{};
    const InheritOnly inherit(write_end.get());
    DWORD error = inherit.error();
    if (error == ERROR_SUCCESS && fault.at(ToolOutput::Failure::start))
        error = static_cast<DWORD>(fault.error);
    if (error == ERROR_SUCCESS && !::SetHandleInformation(write_end.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        error = ::GetLastError();
    if (error == ERROR_SUCCESS) {
        si.lpAttributeList = inherit.get();
        // The child's process and thread handles stay ours alone (no
        // inheritable attributes): no other child has a use for them.
        if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                              NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                              &si.StartupInfo, &pi))
            error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
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
    error = ERROR_SUCCESS;
    if (fault.at(ToolOutput::Failure::read))
        error = static_cast<DWORD>(fault.error);
    else if (!::ReadFile(read_end.get(), bytes.data(), want, &got, nullptr))
        error = ::GetLastError();
    if (error != ERROR_SUCCESS)
        got = 0;

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
