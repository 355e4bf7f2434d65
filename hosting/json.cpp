// Writing JSON: every document through nlohmann-json, with one policy for
// bytes that are not UTF-8.
#include "verimex/hosting/json.h"

namespace verimex::hosting {

namespace {

// The length of the UTF-8 sequence at the start of bytes when it is whole
// and well formed; otherwise 0, with bad set to the bytes that belong to the
// broken sequence (its "maximal subpart", at least 1), which are replaced
// together by one U+FFFD, as decoders following Unicode's advice do.
std::size_t utf8_sequence(std::string_view bytes, std::size_t& bad)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    // The second byte's range is narrower after some leads: that is what
    // rules out overlong forms, surrogates and values past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const bool fits = i < bytes.size() && at(i) >= (i == 1 ? low : 0x80) && at(i) <= (i == 1 ? high : 0xbf);
        if (!fits) {
            bad = i;
            return 0;
        }
    }
    return length;
}

// Makes every string of value (keys too) valid UTF-8.
void make_valid(Json& value)
{
    if (value.is_string()) {
        std::string& text = value.get_ref<std::string&>();
        text = valid_utf8(text);
    } else if (value.is_array()) {
        for (Json& item : value)
            make_valid(item);
    } else if (value.is_object()) {
        Json fixed = Json::object();
        for (auto& [key, item] : value.items()) {
            make_valid(item);
            fixed[valid_utf8(key)] = std::move(item);
        }
        value = std::move(fixed);
    }
}

}  // namespace

std::string valid_utf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t bad = 0;
        const std::size_t length = utf8_sequence(bytes, bad);
        if (length == 0) {
            out += "\xef\xbf\xbd";  // U+FFFD REPLACEMENT CHARACTER
            bytes.remove_prefix(bad);
        } else {
            out.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return out;
}

std::string json_text(Json value)
{
    make_valid(value);
    std::string text = value.dump();
    // nlohmann-json leaves DEL as it is, which RFC 8259 allows; it is a
    // control character all the same, and escaped like the others so that
    // no terminal or log sees it raw. A raw 0x7f in the text can only
    // stand inside a string: JSON's own syntax has none.
    if (text.find('\x7f') == std::string::npos)
        return text;
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\x7f')
            escaped += "\\u007f";
        else
            escaped += c;
    }
    return escaped;
}

std::string json_string(std::string_view text)
{
    return json_text(Json(std::string(text)));
}

void add_engine_members(Json& object, const report& result)
{
    const auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    object["method"] = result.method ? Json(std::string(name(*result.method))) : Json(nullptr);
    object["verdict"] = std::string(name(result.verdict));
    object["reason"] = std::string(name(result.reason));
    object["mx"] = optional(result.mx);
    object["code"] = optional(result.code);
    object["enhanced"] = optional(result.enhanced);
    object["catch_all"] = optional(result.catch_all);
    object["tls"] = result.tls;
    object["tls_version"] = result.tls_version.empty() ? Json(nullptr) : Json(result.tls_version);
    object["role_account"] = result.role_account;
    object["disposable"] = result.disposable;
}

Json report_json(const report& result, report_members members)
{
    Json object;
    object["address"] = result.address;
    object["returnvar"] = result.returnvar;
    object["verified"] = result.verified;
    object["transcript"] = result.transcript;
    object["error"] = result.error.empty() ? Json(nullptr) : Json(result.error);
    if (members == report_members::all)
        add_engine_members(object, result);
    return object;
}

std::string job_settings_json(const JobSettings& settings)
{
    Json object = {
        {"method", std::string(name(settings.method))},
        {"helo", settings.helo},
        {"mail_from", settings.mail_from},
        {"timeout", settings.timeout ? Json(*settings.timeout) : Json(nullptr)},
        {"tls", std::string(name(settings.tls))},
        {"catch_all", settings.catch_all},
    };
    return json_text(std::move(object));
}

JobSettings parse_job_settings(std::string_view text)
{
    const auto bad = [] { return StoreError("a job's stored settings are not ones this program knows"); };
    const Json object = Json::parse(text, nullptr, false);
    if (!object.is_object())
        throw bad();
    JobSettings s;
    try {
        const auto method = parse_method(object.at("method").get<std::string>());
        const auto tls = parse_tls_mode(object.at("tls").get<std::string>());
        if (!method || !tls)
            throw bad();
        s.method = *method;
        s.tls = *tls;
        s.helo = object.at("helo").get<std::string>();
        s.mail_from = object.at("mail_from").get<std::string>();
        if (!object.at("timeout").is_null())
            s.timeout = object.at("timeout").get<std::int16_t>();
        s.catch_all = object.at("catch_all").get<bool>();
    } catch (const nlohmann::json::exception&) {
        throw bad();
    }
    return s;
}

std::string preflight_json(const preflight_report& found)
{
    Json findings = Json::array();
    for (const preflight_finding& f : found.findings) {
        findings.push_back({{"check", f.check},
                            {"status", std::string(name(f.status))},
                            {"subject", f.subject},
                            {"text", f.text},
                            {"advice", f.advice}});
    }
    Json object = {
        {"blocked", found.blocked},
        {"cancelled", found.cancelled},
        {"error", found.error.empty() ? Json(nullptr) : Json(found.error)},
        {"address", found.address},
        {"address_source", found.address_source},
        {"address_guess", found.address_guess},
        {"findings", std::move(findings)},
    };
    return json_text(std::move(object));
}

std::string json_line(const report& result, report_members members)
{
    return json_text(report_json(result, members)) + "\n";
}

}  // namespace verimex::hosting
