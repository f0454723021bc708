#pragma once

#include <string>
#include <vector>

namespace bench {

// The benchmark's one table: metric | direct | tunnel | ratio | target | result.
// A row without a direct figure has no ratio; its target is on the tunnel
// figure itself.
class ResultTable {
public:
    enum Goal {
        NONE,            // reported only
        RATIO_AT_LEAST,  // tunnel / direct >= limit
        RATIO_AT_MOST,   // tunnel / direct <= limit
        VALUE_AT_MOST,   // tunnel <= limit
    };

    // A negative figure means "not measured" (the reason goes in note).
    void add(const std::string& metric, const std::string& unit, double direct, double tunnel,
             Goal goal, double limit, const std::string& note = std::string());
    void print() const;
    // Rows with a goal that were measured and missed it, or not measured.
    int failures() const;

private:
    struct Row {
        std::string metric;
        std::string unit;
        double direct;
        double tunnel;
        Goal goal;
        double limit;
        std::string note;
    };

    static bool _passes(const Row& row);
    std::vector<Row> m_rows;
};

}  // namespace bench
