#include "UfwStatus.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace {

constexpr std::uint16_t kMdnsPort = 5353;

std::vector<std::string> wordsOf(std::string_view text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        const std::size_t begin = at;
        while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        if (at > begin) words.emplace_back(text.substr(begin, at - begin));
    }
    return words;
}

std::string joined(const std::vector<std::string>& words, std::size_t from = 0, std::size_t to = std::string::npos) {
    std::string text;
    for (std::size_t i = from; i < std::min(to, words.size()); ++i) text += (text.empty() ? "" : " ") + words[i];
    return text;
}

bool isAction(const std::string& word) {
    return word == "ALLOW" || word == "DENY" || word == "REJECT" || word == "LIMIT";
}

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// "192.168.1.20", "10.0.0.0/8", "fe80::/10"; not a port range such as "1:2".
bool isAddress(const std::string& word) {
    return word.find('.') != std::string::npos || std::count(word.begin(), word.end(), ':') >= 2;
}

// "9020", "9020/tcp", "80,443/tcp", "60000:61000/udp".
bool isPortList(const std::string& word) {
    const std::string ports = word.substr(0, word.find('/'));
    return !ports.empty() && isDigit(ports[0]) &&
           std::all_of(ports.begin(), ports.end(), [](char c) { return isDigit(c) || c == ',' || c == ':'; });
}

// The protocol after the last '/' when it is a word ("tcp"); empty otherwise.
std::string protocolOf(const std::string& word) {
    const std::size_t slash = word.rfind('/');
    if (slash == std::string::npos) return {};
    const std::string tail = word.substr(slash + 1);
    return !tail.empty() && std::isalpha(static_cast<unsigned char>(tail[0])) ? tail : "";
}

bool portListHas(const std::string& list, std::uint16_t port) {
    for (std::size_t begin = 0; begin <= list.size();) {
        const std::size_t end = std::min(list.find(',', begin), list.size());
        const std::string item = list.substr(begin, end - begin);
        begin = end + 1;
        const std::size_t colon = item.find(':');
        const std::string low = item.substr(0, colon);
        const std::string high = colon == std::string::npos ? low : item.substr(colon + 1);
        if (low.empty() || high.empty() || low.size() > 5 || high.size() > 5) continue;
        if (std::stoul(low) <= port && port <= std::stoul(high)) return true;
    }
    return false;
}

bool protocolFits(const std::string& ruleProtocol, const std::string& protocol) {
    return ruleProtocol.empty() || ruleProtocol == "any" || ruleProtocol == protocol;
}

enum class Match { Yes, No, Unknown };

// One incoming row of the rules' table.
struct Rule {
    std::string text;      // as printed, blanks folded
    std::string action;    // ALLOW, DENY, REJECT or LIMIT
    bool v6 = false;
    std::string address;   // To's address, when the rule is for one of this computer's
    std::string interface; // "on IFACE"
    std::string ports;     // To's port list; empty: any port
    std::string protocol;  // empty: any
    std::string app;       // an application profile named without its ports
    std::string source;    // From, when not Anywhere

    bool lets() const { return action == "ALLOW" || action == "LIMIT"; }
    // Whether it decides only for some tablets.
    bool restricted() const { return !address.empty() || !interface.empty() || !source.empty(); }
    std::string restriction() const {
        if (!source.empty()) return "from " + source;
        if (!address.empty()) return "to " + address;
        return "on " + interface;
    }

    Match covers(std::uint16_t port, const std::string& proto, const UfwQuestion& question) const {
        if (!app.empty()) {
            if (app != question.profile) return Match::Unknown;
            for (const UfwQuestion::Port& open : question.profilePorts) {
                if (open.number == port && open.protocol == proto) return Match::Yes;
            }
            return Match::No;
        }
        if (!protocolFits(protocol, proto)) return Match::No;
        return ports.empty() || portListHas(ports, port) ? Match::Yes : Match::No;
    }
};

// The words of To (or From) without the annotations in brackets that
// follow a port ("(corviLane)", "(v6)"); `v6` is set when one says v6, and
// `interface` takes "on IFACE".
std::vector<std::string> plainWords(const std::vector<std::string>& words, bool& v6, std::string* interface) {
    std::vector<std::string> plain;
    int depth = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.find("(v6)") != std::string::npos) v6 = true;
        const bool annotation = depth > 0 || word.front() == '(';
        depth += static_cast<int>(std::count(word.begin(), word.end(), '(')) -
                 static_cast<int>(std::count(word.begin(), word.end(), ')'));
        depth = std::max(depth, 0);
        if (annotation) continue;
        if (word == "on" && interface != nullptr && i + 1 < words.size()) {
            *interface = words[++i];
            continue;
        }
        plain.push_back(word);
    }
    return plain;
}

// One row: "To  ACTION [IN|OUT|FWD]  From [# comment]"; nothing for a row
// that is not an incoming rule.
std::optional<Rule> parseRule(std::string_view line) {
    const std::size_t comment = line.find(" # ");
    const std::vector<std::string> words = wordsOf(line.substr(0, comment));
    const auto action = std::find_if(words.begin() + (words.empty() ? 0 : 1), words.end(), isAction);
    if (action == words.end()) return std::nullopt;
    const std::size_t at = static_cast<std::size_t>(action - words.begin());
    std::size_t fromAt = at + 1;
    if (fromAt < words.size() && (words[fromAt] == "IN" || words[fromAt] == "OUT" || words[fromAt] == "FWD")) {
        if (words[fromAt] != "IN") return std::nullopt;
        ++fromAt;
    }
    Rule rule;
    rule.text = joined(words);
    rule.action = *action;
    const std::vector<std::string> to =
        plainWords(std::vector<std::string>(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(at)), rule.v6,
                   &rule.interface);
    std::vector<std::string> appWords;
    for (const std::string& word : to) {
        if (word.rfind("Anywhere", 0) == 0) {
            rule.protocol = protocolOf(word);
        } else if (isAddress(word)) {
            rule.protocol = protocolOf(word);
            rule.address = word.substr(0, rule.protocol.empty() ? word.size() : word.size() - rule.protocol.size() - 1);
        } else if (isPortList(word)) {
            rule.ports = word.substr(0, word.find('/'));
            rule.protocol = protocolOf(word);
        } else {
            appWords.push_back(word);
        }
    }
    rule.app = joined(appWords);
    const std::vector<std::string> from =
        plainWords(std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(fromAt), words.end()), rule.v6,
                   nullptr);
    if (!(from.size() == 1 && from[0].rfind("Anywhere", 0) == 0)) rule.source = from.empty() ? "?" : joined(from);
    return rule;
}

struct Decision {
    Known lets = Known::Unknown;
    bool byRule = false;
    std::string why;
};

Decision decide(const std::vector<Rule>& rules, const std::string& policy, std::uint16_t port, const std::string& proto,
                const UfwQuestion& question) {
    std::vector<const Rule*> partial;
    std::optional<Decision> decided;
    for (const Rule& rule : rules) {
        if (rule.v6) continue;
        const Match match = rule.covers(port, proto, question);
        if (match == Match::No) continue;
        if (match == Match::Unknown) {
            return {Known::Unknown, false,
                    "rule \"" + rule.text + "\" names the profile " + rule.app + ", whose ports this check does not know"};
        }
        if (rule.restricted()) {
            partial.push_back(&rule);
            continue;
        }
        decided = Decision{rule.lets() ? Known::Yes : Known::No, true, "rule \"" + rule.text + "\""};
        break;
    }
    if (!decided) {
        decided = policy.empty() ? Decision{Known::Unknown, false, "ufw did not say its default incoming policy"}
                                 : Decision{policy == "allow" ? Known::Yes : Known::No, false,
                                            "the default incoming policy, " + policy};
    }
    for (const Rule* rule : partial) {
        const Known lets = rule->lets() ? Known::Yes : Known::No;
        if (lets == decided->lets) continue;
        const std::string some = " only for tablets " + rule->restriction() + " (rule \"" + rule->text + "\"; for the rest " +
                                 decided->why + ")";
        return {Known::Unknown, false, (lets == Known::Yes ? "let in" : "kept out") + some};
    }
    return *decided;
}

std::string defaultIncomingPolicy(const std::vector<std::string_view>& lines) {
    for (const std::string_view line : lines) {
        if (line.rfind("Default:", 0) != 0) continue;
        const std::vector<std::string> words = wordsOf(line);
        for (std::size_t i = 1; i + 1 < words.size(); ++i) {
            if (words[i + 1].rfind("(incoming)", 0) == 0) return words[i];
        }
    }
    return {};
}

std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

}  // namespace

UfwAnswer readUfwStatus(std::string_view output, const UfwQuestion& question) {
    UfwAnswer answer;
    const std::vector<std::string_view> lines = linesOf(output);
    const auto status = std::find_if(lines.begin(), lines.end(),
                                     [](std::string_view line) { return line.rfind("Status:", 0) == 0; });
    const std::vector<std::string> state = status != lines.end() ? wordsOf(*status) : std::vector<std::string>{};
    if (state.size() < 2 || (state[1] != "active" && state[1] != "inactive")) {
        answer.why = "ufw's status could not be read" +
                     (lines.empty() || lines[0].empty() ? std::string() : " (" + joined(wordsOf(lines[0])) + ")");
        return answer;
    }
    if (state[1] == "inactive") {
        answer.active = Known::No;
        return answer;
    }
    answer.active = Known::Yes;
    std::vector<Rule> rules;
    const auto table = std::find_if(lines.begin(), lines.end(), [](std::string_view line) { return line.rfind("--", 0) == 0; });
    for (auto line = table == lines.end() ? table : table + 1; line != lines.end(); ++line) {
        if (std::optional<Rule> rule = parseRule(*line)) rules.push_back(std::move(*rule));
    }
    const std::string policy = defaultIncomingPolicy(lines);
    const Decision port = decide(rules, policy, question.port, "tcp", question);
    const Decision mdns = question.mdnsAdmitted
                              ? Decision{Known::Yes, false, "ufw's before.rules let multicast mDNS in"}
                              : decide(rules, policy, kMdnsPort, "udp", question);
    answer.port = port.lets;
    answer.mdns = mdns.lets;
    answer.deniedByRule = (port.lets == Known::No && port.byRule) || (mdns.lets == Known::No && mdns.byRule);
    answer.why = "TCP port " + std::to_string(question.port) + ": " + port.why + "; mDNS: " + mdns.why;
    return answer;
}
