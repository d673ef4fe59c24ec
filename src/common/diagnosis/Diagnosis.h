#pragma once

#include "CheckFacts.h"

#include <string>
#include <vector>

// What "corvilane-server --check" tells the musician: for each part of the
// way from a tablet to Live, a finding, and with every problem the command or
// setting that fixes it; then whether tablets can reach this computer.
class Diagnosis {
public:
    enum class Verdict { Ok, Problem, Warning, Info };
    struct Finding {
        std::string topic;
        Verdict verdict = Verdict::Info;
        std::string text;
        std::string fix;  // empty: nothing to do
    };

    static Diagnosis of(const CheckFacts& facts);

    // Whether nothing known stands between a tablet and this computer.
    bool reachable() const { return m_Reachable; }
    // Whether everything on the tablets' way could be told: a firewall or an
    // advertisement that could not be read leaves the verdict unsure.
    bool complete() const { return m_Complete; }
    const std::vector<Finding>& findings() const { return m_Findings; }

    // For people: one finding a line, its fix below it, then the verdict.
    std::string text() const;
    // For scripts: the findings, the verdict and the facts.
    std::string json(const CheckFacts& facts) const;

private:
    void add(std::string topic, Verdict verdict, std::string text, std::string fix = {});
    // A warning that something on the tablets' way could not be told.
    void untold(std::string topic, std::string text, std::string fix = {});
    void server(const CheckFacts& facts);
    void script(const CheckFacts& facts);
    void scriptPort(const CheckFacts& facts);
    void advertising(const CheckFacts& facts);
    void addresses(const CheckFacts& facts);
    void tablets(const CheckFacts& facts);
    void firewalls(const CheckFacts& facts);
    void usb(const CheckFacts& facts);
    void midi(const CheckFacts& facts);
    void lives(const CheckFacts& facts);

    std::vector<Finding> m_Findings;
    bool m_Reachable = true;
    bool m_Complete = true;
};
