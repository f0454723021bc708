#include "MetricsText.h"

#include <cstdio>
#include <vector>

#include "core/src/json/JsonParser.h"
#include "core/src/value/Any.h"
#include "core/src/value/AnyField.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyField;
using kx::core::Dictionary;
using kx::core::String;

namespace korvane_host {

namespace {

const char* const STATES[] = {"open", "opening", "closed", "idle"};
const wchar_t* const FAILURE_KINDS[] = {L"select", L"connect", L"refused", L"timeout", L"silent"};

struct Series {
    const char* name;
    const char* type;
    const char* help;
};

// A series of one number per target, read from one key of the target object.
struct TargetNumber {
    Series series;
    const wchar_t* key;
};

const TargetNumber TARGET_NUMBERS[] = {
    {{"korvane_tunnel_received_bytes_total", "counter", "Payload bytes received from the switch."},
     L"received_bytes"},
    {{"korvane_tunnel_sent_bytes_total", "counter", "Payload bytes sent to the switch."},
     L"sent_bytes"},
    {{"korvane_tunnel_received_packets_total", "counter", "Tunnel packets received from the switch."},
     L"received_packets"},
    {{"korvane_tunnel_sent_packets_total", "counter", "Tunnel packets sent to the switch."},
     L"sent_packets"},
    {{"korvane_tunnel_tcp_connections", "gauge", "Live local TCP connections."}, L"tcp_connections"},
    {{"korvane_tunnel_udp_peers", "gauge", "Live local UDP peers."}, L"udp_peers"},
    {{"korvane_tunnel_failovers_total", "counter",
      "Times the tunnel came up again after it had been up."},
     L"failovers"},
};

void header(std::string& out, const Series& s) {
    out += "# HELP ";
    out += s.name;
    out += ' ';
    out += s.help;
    out += "\n# TYPE ";
    out += s.name;
    out += ' ';
    out += s.type;
    out += '\n';
}

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += value;
    out += '\n';
}

std::string label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + MetricsText::escapeLabel(value) + "\"";
}

}  // namespace

std::string MetricsText::escapeLabel(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string MetricsText::render(const std::string& statusJson, const Process& process) {
    Dictionary<Any> status;
    const bool readable = kx::core::JsonParser::parseDictionary(String::fromUtf8(statusJson), status);

    std::string out;
    header(out, {"korvane_build_info", "gauge", "Version of korvane-host, always 1."});
    sample(out, "korvane_build_info", label("version", process.version), "1");
    header(out, {"korvane_process_start_time_seconds", "gauge",
                 "Start time of the process since the Unix epoch in seconds."});
    sample(out, "korvane_process_start_time_seconds", "", numberText(process.startTimeSeconds));
    header(out, {"korvane_started", "gauge", "1 between a successful start and the stop."});
    sample(out, "korvane_started", "", readable && AnyField::flag(status, L"started") ? "1" : "0");
    header(out, {"korvane_running", "gauge", "1 unless suspended in the background."});
    sample(out, "korvane_running", "", readable && AnyField::flag(status, L"running") ? "1" : "0");

    // The targets that are objects, at most MAX_TARGETS of them.
    std::vector<const Dictionary<Any>*> targets;
    if (const AnyArray* list = readable ? AnyField::array(status, L"targets") : nullptr) {
        for (const Any& item : *list) {
            if (targets.size() >= MAX_TARGETS) break;
            if (item.is<Dictionary<Any>>()) targets.push_back(&item.as<Dictionary<Any>>());
        }
    }
    std::vector<std::string> ids;
    for (const Dictionary<Any>* t : targets)
        ids.push_back(label("target", std::to_string(AnyField::int64(*t, L"target_id"))));

    header(out, {"korvane_tunnel_state", "gauge",
                 "1 for the tunnel's current state (open, opening, closed, idle), else 0."});
    for (size_t i = 0; i < targets.size(); ++i) {
        const std::string state = AnyField::text(*targets[i], L"state").toStdString();
        for (const char* s : STATES)
            sample(out, "korvane_tunnel_state", ids[i] + "," + label("state", s), state == s ? "1" : "0");
    }
    header(out, {"korvane_tunnel_switch_info", "gauge",
                 "The switch the tunnel is bound to (masked address, \"none\" while unbound)."});
    for (size_t i = 0; i < targets.size(); ++i)
        sample(out, "korvane_tunnel_switch_info", ids[i] + "," + label("switch", AnyField::text(*targets[i], L"switch").toStdString()), "1");
    for (const TargetNumber& n : TARGET_NUMBERS) {
        header(out, n.series);
        for (size_t i = 0; i < targets.size(); ++i)
            sample(out, n.series.name, ids[i], std::to_string(AnyField::int64(*targets[i], n.key)));
    }
    header(out, {"korvane_tunnel_switch_latency_seconds", "gauge",
                 "Latency of the bound switch measured when it was chosen."});
    for (size_t i = 0; i < targets.size(); ++i) {
        // -1 or missing: nothing measured for the bound switch, so no sample.
        if (AnyField::value(*targets[i], L"latency_ms").isEmpty()) continue;
        const int64_t latency = AnyField::int64(*targets[i], L"latency_ms");
        if (latency < 0) continue;
        sample(out, "korvane_tunnel_switch_latency_seconds", ids[i],
               numberText(static_cast<double>(latency) / 1000.0));
    }
    header(out, {"korvane_tunnel_failures_total", "counter",
                 "Failures to get or keep a switch, by kind."});
    for (size_t i = 0; i < targets.size(); ++i) {
        const Dictionary<Any>* byKind = AnyField::dictionary(*targets[i], L"failures");
        for (const wchar_t* kind : FAILURE_KINDS) {
            const int64_t count = byKind ? AnyField::int64(*byKind, kind) : 0;
            sample(out, "korvane_tunnel_failures_total",
                   ids[i] + "," + label("kind", String(kind).toStdString()), std::to_string(count));
        }
    }
    return out;
}

}  // namespace korvane_host
