#include "StatusPrinter.h"

#include <cstdio>

#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/value/Any.h"
#include "core/src/value/AnyConvert.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyConvert;
using kx::core::Dictionary;
using kx::core::String;

namespace korvane_host {

namespace {

bool readStatus(const std::string& json, Dictionary<Any>& out) {
    return kx::core::JsonParser::parseDictionary(String::fromUtf8(json), out);
}

const AnyArray* targetsOf(const Dictionary<Any>& status) {
    const Any* targets = status.find(L"targets");
    return targets && targets->is<AnyArray>() ? &targets->as<AnyArray>() : nullptr;
}

std::string text(const Dictionary<Any>& d, const wchar_t* key) {
    return AnyConvert::toText(d.get(key)).toStdString();
}

long long number(const Dictionary<Any>& d, const wchar_t* key) {
    return static_cast<long long>(AnyConvert::toInt64(d.get(key)));
}

}  // namespace

std::string StatusPrinter::sizeText(long long bytes) {
    static const char* const UNITS[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    char out[32];
    std::snprintf(out, sizeof out, "%.1f %s", value, UNITS[unit]);
    return out;
}

std::vector<std::string> StatusPrinter::lines(const std::string& statusJson) {
    Dictionary<Any> status;
    if (!readStatus(statusJson, status)) return {"[Host] unreadable status: " + statusJson};
    if (!AnyConvert::toBool(status.get(L"running"))) {
        return {AnyConvert::toBool(status.get(L"started")) ? "[Host] suspended"
                                                            : "[Host] not running"};
    }
    std::vector<std::string> out;
    const AnyArray* targets = targetsOf(status);
    if (!targets || targets->size() == 0) return {"[Host] running, no targets"};
    for (const Any& item : *targets) {
        if (!item.is<Dictionary<Any>>()) continue;
        const Dictionary<Any>& t = item.as<Dictionary<Any>>();
        std::string line = "[Host] Target #" + std::to_string(number(t, L"target_id")) +
                           " switch " + text(t, L"switch") + ", " + text(t, L"state") +
                           ", tcp " + std::to_string(number(t, L"tcp_connections")) + ", udp " +
                           std::to_string(number(t, L"udp_peers")) + ", received " +
                           sizeText(number(t, L"received_rate")) + "/s (" +
                           sizeText(number(t, L"received_bytes")) + "), sent " +
                           sizeText(number(t, L"sent_rate")) + "/s (" +
                           sizeText(number(t, L"sent_bytes")) + "), failovers " +
                           std::to_string(number(t, L"failovers"));
        const std::string error = text(t, L"last_error");
        if (!error.empty()) line += ", last error: " + error;
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> StatusPrinter::jsonLines(const std::string& statusJson) {
    Dictionary<Any> status;
    if (!readStatus(statusJson, status)) return {};
    std::vector<std::string> out;
    const AnyArray* targets = targetsOf(status);
    if (!targets) return out;
    for (const Any& item : *targets) {
        if (!item.is<Dictionary<Any>>()) continue;
        String line;
        if (kx::core::JsonBuilder::buildText(item.as<Dictionary<Any>>(), line)) {
            out.push_back(line.toStdString());
        }
    }
    return out;
}

}  // namespace korvane_host
