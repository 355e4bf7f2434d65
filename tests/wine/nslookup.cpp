// A stand-in for Windows' nslookup.exe, which Wine does not have: answers
// "nslookup -q=mx DOMAIN [SERVER]" through the system resolver (DnsQuery)
// and prints what Windows' own tool prints for it, line ends CR LF, in the
// ANSI code page. Installed as C:\windows\system32\nslookup.exe in the test
// prefix, it is what the component's lookup finds on the search path.
//
// Output shape, as Windows prints it:
//   Server:  UnKnown
//   Address:  127.0.0.1
//
//   two.test<TAB>MX preference = 10, mail exchanger = mx1.two.test
//   mx1.two.test<TAB>internet address = 127.0.0.11
// and on standard error, for a name that does not exist:
//   *** UnKnown can't find nope.test: Non-existent domain
#include <winsock2.h>
#include <windows.h>
#include <windns.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

namespace {

void write(DWORD which, const std::string& text)
{
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string ipv4_text(IP4_ADDRESS address)
{
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

// The server the system resolver asks, as Windows' tool names it.
std::string default_server()
{
    ULONG size = 0;
    ::GetNetworkParams(nullptr, &size);
    std::vector<unsigned char> buffer(size ? size : sizeof(FIXED_INFO));
    auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
    if (::GetNetworkParams(info, &size) != ERROR_SUCCESS)
        return "127.0.0.1";
    return info->DnsServerList.IpAddress.String;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string type = "A";
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("-q=", 0) == 0 || arg.rfind("-type=", 0) == 0 || arg.rfind("-querytype=", 0) == 0)
            type = arg.substr(arg.find('=') + 1);
        else if (!arg.empty() && arg[0] != '-')
            words.push_back(arg);
    }
    if (words.empty() || (type != "mx" && type != "MX")) {
        write(STD_ERROR_HANDLE, "usage: nslookup -q=mx DOMAIN [SERVER]\r\n");
        return 1;
    }
    const std::string& domain = words[0];

    // A server given as an IPv4 address is asked directly; anything else
    // falls back to the system's, as a name the tool cannot use would.
    IP4_ARRAY servers{};
    PIP4_ARRAY extra = nullptr;
    std::string server = default_server();
    if (words.size() > 1) {
        in_addr in{};
        if (::inet_pton(AF_INET, words[1].c_str(), &in) == 1) {
            servers.AddrCount = 1;
            servers.AddrArray[0] = in.s_addr;
            extra = &servers;
            server = words[1];
        }
    }
    // Everything for standard output goes out in one write at the end, as
    // Windows' tool does when its output is a pipe (the C run-time buffers
    // it): the component reads the pipe once, and must find the answer in
    // that one read, not just the heading.
    std::string out = "Server:  UnKnown\r\nAddress:  " + server + "\r\n\r\n";

    PDNS_RECORD records = nullptr;
    const DNS_STATUS status = ::DnsQuery_A(domain.c_str(), DNS_TYPE_MX, DNS_QUERY_STANDARD, extra, &records, nullptr);
    if (status == DNS_ERROR_RCODE_NAME_ERROR) {
        write(STD_OUTPUT_HANDLE, out);
        write(STD_ERROR_HANDLE, "*** UnKnown can't find " + domain + ": Non-existent domain\r\n");
        return 1;
    }
    if (status != ERROR_SUCCESS && status != DNS_INFO_NO_RECORDS) {
        write(STD_OUTPUT_HANDLE, out);
        write(STD_ERROR_HANDLE, "*** UnKnown can't find " + domain + ": Server failed\r\n");
        return 1;
    }

    // NOTE: the records are printed by preference, lowest first. Windows'
    // tool keeps the server's order, but dnsmasq's order is its own, and
    // the tests need to know which host is tried first.
    std::vector<std::pair<WORD, std::string>> exchangers;
    std::string additional;
    for (PDNS_RECORD r = records; r != nullptr; r = r->pNext) {
        if (r->wType == DNS_TYPE_MX && r->Flags.S.Section == DnsSectionAnswer)
            exchangers.emplace_back(r->Data.MX.wPreference,
                                    std::string(r->pName) + "\tMX preference = " +
                                        std::to_string(r->Data.MX.wPreference) +
                                        ", mail exchanger = " + r->Data.MX.pNameExchange + "\r\n");
        else if (r->wType == DNS_TYPE_A && r->Flags.S.Section == DnsSectionAddtional)  // sic, the SDK spelling
            additional += std::string(r->pName) + "\tinternet address = " + ipv4_text(r->Data.A.IpAddress) + "\r\n";
    }
    if (records)
        ::DnsRecordListFree(records, DnsFreeRecordList);
    std::stable_sort(exchangers.begin(), exchangers.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& e : exchangers)
        out += e.second;
    if (!additional.empty())
        out += "\r\n" + additional;
    write(STD_OUTPUT_HANDLE, out);
    return 0;
}
