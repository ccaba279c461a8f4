// Compares two traces of regdiff, line by line, after applying the allowed differences.
//
//   regdiff_compare ALLOWED EXPECTED ACTUAL
//
// EXPECTED is the trace taken against Windows (or Wine), ACTUAL the one taken against the
// emulated registry. ALLOWED holds one rule a line:
//   FUNCTION  CONDITION  FIELD  ACTION  reason...
// FUNCTION is a registry function's name or *. CONDITION is * or a field (present), or
// field=value, tested on each line by itself. FIELD names a result field, or with a leading @
// an argument. ACTION is `ignore` (the field is dropped from the line) or `unordered`
// (consecutive lines of FUNCTION with the same value of FIELD compare as a set).
// Prints how many calls it compared; exits 1 on a difference, 2 on bad input.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Field {
    bool argument;
    std::string name;
    std::string value;
};

struct Call {
    std::string function;
    std::vector<Field> fields;
    std::string original;
    size_t lineNumber;

    const Field *find(bool argument, const std::string &name) const {
        for (const Field &f : fields)
            if (f.argument == argument && f.name == name) return &f;
        return nullptr;
    }
    std::string canonical() const {
        std::string text = function;
        bool results = false;
        for (const Field &f : fields) {
            if (!f.argument && !results) {
                text += " =>";
                results = true;
            }
            text += ' ' + f.name + '=' + f.value;
        }
        return text;
    }
};

// A field reference as rules write it: "name" for a result, "@name" for an argument.
struct FieldRef {
    bool argument = false;
    std::string name;
    static FieldRef parse(std::string text) {
        FieldRef ref;
        if (!text.empty() && text[0] == '@') {
            ref.argument = true;
            text.erase(0, 1);
        }
        ref.name = text;
        return ref;
    }
};

struct Rule {
    std::string function;
    bool always = false;
    FieldRef conditionField;
    bool conditionHasValue = false;
    std::string conditionValue;
    FieldRef field;
    bool unordered = false;
    size_t lineNumber = 0;

    bool appliesTo(const Call &call) const {
        if (function != "*" && function != call.function) return false;
        if (always) return true;
        const Field *f = call.find(conditionField.argument, conditionField.name);
        return f && (!conditionHasValue || f->value == conditionValue);
    }
};

bool readRules(const char *path, std::vector<Rule> &rules) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "regdiff_compare: cannot read " << path << "\n";
        return false;
    }
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string function, condition, field, action, reason;
        words >> function >> condition >> field >> action;
        std::getline(words, reason);
        if (function.empty()) continue;
        if (action != "ignore" && action != "unordered") {
            std::cerr << path << ":" << number << ": unknown action '" << action << "'\n";
            return false;
        }
        if (reason.find_first_not_of(" \t") == std::string::npos) {
            std::cerr << path << ":" << number << ": every allowed difference needs its reason\n";
            return false;
        }
        Rule rule;
        rule.function = function;
        rule.lineNumber = number;
        rule.always = condition == "*";
        if (!rule.always) {
            const size_t eq = condition.find('=');
            rule.conditionField = FieldRef::parse(condition.substr(0, eq));
            if (eq != std::string::npos) {
                rule.conditionHasValue = true;
                rule.conditionValue = condition.substr(eq + 1);
            }
        }
        rule.field = FieldRef::parse(field);
        rule.unordered = action == "unordered";
        rules.push_back(rule);
    }
    return true;
}

bool parseCall(const std::string &line, size_t number, Call &call) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> call.function)) return false;
    bool results = false;
    while (words >> word) {
        if (word == "=>") {
            results = true;
            continue;
        }
        const size_t eq = word.find('=');
        if (eq == std::string::npos) return false;
        call.fields.push_back({!results, word.substr(0, eq), word.substr(eq + 1)});
    }
    call.original = line;
    call.lineNumber = number;
    return true;
}

bool readTrace(const char *path, std::vector<Call> &calls) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "regdiff_compare: cannot read " << path << "\n";
        return false;
    }
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        Call call;
        if (!parseCall(line, number, call)) {
            std::cerr << path << ":" << number << ": not a trace line: " << line << "\n";
            return false;
        }
        calls.push_back(std::move(call));
    }
    return true;
}

void applyIgnores(const std::vector<Rule> &rules, std::vector<Call> &calls) {
    for (Call &call : calls) {
        for (const Rule &rule : rules) {
            if (rule.unordered || !rule.appliesTo(call)) continue;
            call.fields.erase(std::remove_if(call.fields.begin(), call.fields.end(),
                                             [&](const Field &f) {
                                                 return f.argument == rule.field.argument &&
                                                        f.name == rule.field.name;
                                             }),
                              call.fields.end());
        }
    }
}

// Sorts each run of consecutive calls that an `unordered` rule groups together.
void sortUnorderedRuns(const std::vector<Rule> &rules, std::vector<Call> &calls) {
    for (const Rule &rule : rules) {
        if (!rule.unordered) continue;
        size_t i = 0;
        while (i < calls.size()) {
            const Field *key = rule.appliesTo(calls[i]) ? calls[i].find(rule.field.argument, rule.field.name) : nullptr;
            if (!key) {
                ++i;
                continue;
            }
            const std::string group = key->value;
            size_t end = i + 1;
            while (end < calls.size() && rule.appliesTo(calls[end])) {
                const Field *next = calls[end].find(rule.field.argument, rule.field.name);
                if (!next || next->value != group) break;
                ++end;
            }
            std::stable_sort(calls.begin() + i, calls.begin() + end, [](const Call &a, const Call &b) {
                return a.canonical() < b.canonical();
            });
            i = end;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::cerr << "usage: regdiff_compare ALLOWED EXPECTED ACTUAL\n";
        return 2;
    }
    std::vector<Rule> rules;
    std::vector<Call> expected, actual;
    if (!readRules(argv[1], rules) || !readTrace(argv[2], expected) || !readTrace(argv[3], actual))
        return 2;
    for (std::vector<Call> *calls : {&expected, &actual}) {
        applyIgnores(rules, *calls);
        sortUnorderedRuns(rules, *calls);
    }
    const size_t common = std::min(expected.size(), actual.size());
    size_t differences = 0;
    for (size_t i = 0; i < common; ++i) {
        if (expected[i].canonical() == actual[i].canonical()) continue;
        if (++differences <= 5) {
            std::cout << "DIFFERENCE at call " << i + 1 << " (" << argv[2] << ":" << expected[i].lineNumber
                      << ", " << argv[3] << ":" << actual[i].lineNumber << ")\n"
                      << "  expected: " << expected[i].original << "\n"
                      << "  actual:   " << actual[i].original << "\n";
        }
    }
    if (expected.size() != actual.size()) {
        ++differences;
        std::cout << "DIFFERENCE in length: " << expected.size() << " calls expected, " << actual.size()
                  << " traced\n";
    }
    std::cout << "compared " << common << " calls, " << differences << " difference"
              << (differences == 1 ? "" : "s") << "\n";
    return differences ? 1 : 0;
}
