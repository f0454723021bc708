#include "tunnel/ResultTable.h"

#include <cstdio>

namespace bench {

namespace {

std::string figure(double value) {
    if (value < 0) return "-";
    char text[32];
    if (value >= 100) {
        snprintf(text, sizeof(text), "%.0f", value);
    } else if (value >= 10) {
        snprintf(text, sizeof(text), "%.1f", value);
    } else {
        snprintf(text, sizeof(text), "%.2f", value);
    }
    return text;
}

}  // namespace

void ResultTable::add(const std::string& metric, const std::string& unit, double direct,
                      double tunnel, Goal goal, double limit, const std::string& note) {
    m_rows.push_back(Row{metric, unit, direct, tunnel, goal, limit, note});
}

bool ResultTable::_passes(const Row& row) {
    if (row.tunnel < 0) return false;
    const double ratio = row.direct > 0 ? row.tunnel / row.direct : -1;
    switch (row.goal) {
        case NONE:
            return true;
        case RATIO_AT_LEAST:
            return ratio >= row.limit;
        case RATIO_AT_MOST:
            return ratio >= 0 && ratio <= row.limit;
        case VALUE_AT_MOST:
            return row.tunnel <= row.limit;
    }
    return false;
}

int ResultTable::failures() const {
    int count = 0;
    for (const Row& row : m_rows) {
        if (row.goal != NONE && !_passes(row)) ++count;
    }
    return count;
}

void ResultTable::print() const {
    printf("\n%-40s | %10s | %10s | %6s | %-10s | %s\n", "metric", "direct", "tunnel", "ratio",
           "target", "result");
    printf("%s\n", std::string(40 + 10 + 10 + 6 + 10 + 6 + 5 * 3, '-').c_str());
    for (const Row& row : m_rows) {
        const std::string metric = row.metric + " (" + row.unit + ")";
        std::string ratio = "-";
        if (row.direct > 0 && row.tunnel >= 0) {
            char text[32];
            snprintf(text, sizeof(text), "%.2fx", row.tunnel / row.direct);
            ratio = text;
        }
        std::string target = "-";
        char text[32];
        switch (row.goal) {
            case NONE:
                break;
            case RATIO_AT_LEAST:
                snprintf(text, sizeof(text), ">= %.2fx", row.limit);
                target = text;
                break;
            case RATIO_AT_MOST:
                snprintf(text, sizeof(text), "<= %.2fx", row.limit);
                target = text;
                break;
            case VALUE_AT_MOST:
                target = "<= " + figure(row.limit);
                break;
        }
        const char* result = row.goal == NONE ? "info" : (_passes(row) ? "PASS" : "FAIL");
        printf("%-40s | %10s | %10s | %6s | %-10s | %s%s%s\n", metric.c_str(),
               figure(row.direct).c_str(), figure(row.tunnel).c_str(), ratio.c_str(),
               target.c_str(), result, row.note.empty() ? "" : "  ", row.note.c_str());
    }
    fflush(stdout);
}

}  // namespace bench
