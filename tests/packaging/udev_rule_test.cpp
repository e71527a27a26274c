// The package's udev rule: udevadm verify where the system has it, and always line by line
// against the rule grammar of udev(7), then what the rule must do for the device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

struct Pair {
    std::string key;  // with its {attribute}, as ATTRS{idVendor}
    std::string op;
    std::string value;
};
using Rule = std::vector<Pair>;

bool IsMatch(const std::string& op) { return op == "==" || op == "!="; }

// Splits a rule line into key-operator-value pairs; an empty error means the line is well formed.
Rule ParseLine(const std::string& line, std::string* error) {
    static const std::regex pair(R"re(^\s*([A-Z_]+)(\{[^}"]+\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*)re");
    // Which keys take which operators (udev(7)); attribute keys need their {name}.
    static const std::set<std::string> matchOnly = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "SUBSYSTEM",
                                                    "SUBSYSTEMS", "DRIVER", "DRIVERS", "ATTRS", "TAGS", "CONST",
                                                    "TEST", "PROGRAM", "RESULT"};
    static const std::set<std::string> assignOnly = {"OWNER", "GROUP", "MODE", "SECLABEL", "RUN", "LABEL",
                                                     "GOTO", "IMPORT", "OPTIONS"};
    static const std::set<std::string> both = {"NAME", "SYMLINK", "ATTR", "SYSCTL", "ENV", "TAG"};
    static const std::set<std::string> needsAttribute = {"ATTR", "ATTRS", "SYSCTL", "ENV", "CONST", "SECLABEL"};
    Rule rule;
    std::string rest = line;
    while (!rest.empty()) {
        std::smatch m;
        if (!std::regex_search(rest, m, pair)) {
            *error = "not a KEY op \"value\" pair at: " + rest;
            return rule;
        }
        Pair p{m[1].str() + m[2].str(), m[3].str(), m[4].str()};
        const std::string base = m[1].str();
        if (!matchOnly.count(base) && !assignOnly.count(base) && !both.count(base)) *error = "unknown key " + base;
        else if (matchOnly.count(base) && !IsMatch(p.op)) *error = base + " only matches";
        else if (assignOnly.count(base) && IsMatch(p.op)) *error = base + " only assigns";
        else if (needsAttribute.count(base) != (m[2].length() > 0)) *error = base + ": attribute name";
        else if ((base == "LABEL" || base == "GOTO") && p.op != "=") *error = base + " takes =";
        if (!error->empty()) return rule;
        rule.push_back(p);
        rest = m.suffix().str();
        if (rest.empty()) break;
        if (rest[0] != ',') {
            *error = "pairs must be separated by commas at: " + rest;
            return rule;
        }
        rest.erase(0, 1);
        if (rest.find_first_not_of(" \t") == std::string::npos) *error = "a comma ends the line";
    }
    return rule;
}

std::vector<Rule> ReadRules(const std::string& path, std::vector<std::string>* errors) {
    std::istringstream in(testsupport::ReadFile(path));
    std::vector<Rule> rules;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#')
            continue;
        if (line.back() == '\\') errors->push_back(std::to_string(number) + ": continued lines are not used here");
        std::string error;
        Rule r = ParseLine(line, &error);
        if (!error.empty()) errors->push_back(std::to_string(number) + ": " + error);
        rules.push_back(r);
    }
    return rules;
}

const Pair* Find(const Rule& r, const std::string& key, const std::string& op) {
    for (const Pair& p : r)
        if (p.key == key && p.op == op) return &p;
    return nullptr;
}

std::set<std::string> Alternatives(const std::string& pattern) {
    std::set<std::string> out;
    std::stringstream s(pattern);
    for (std::string a; std::getline(s, a, '|');) out.insert(a);
    return out;
}

// What a rule gives the device it matches: access for the seat's user, ModemManager kept off.
void ExpectGivesAccessAndKeepsModemManagerOff(const Rule& r) {
    const Pair* tag = Find(r, "TAG", "+=");  // "=" would drop the tags other rules set
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->value, "uaccess");
    const Pair* mm = Find(r, "ENV{ID_MM_DEVICE_IGNORE}", "=");
    ASSERT_NE(mm, nullptr);
    EXPECT_EQ(mm->value, "1");
}

TEST(UdevRule, NumberedBeforeTheSeatRules) {
    const std::string name = std::filesystem::path(QUILLON_UDEV_RULE_FILE).filename();
    ASSERT_TRUE(std::regex_match(name, std::regex(R"(\d\d-[a-z0-9-]+\.rules)"))) << name;
    // 73-seat-late.rules turns the uaccess tag into access: the tag must be set before.
    EXPECT_LT(std::stoi(name.substr(0, 2)), 73);
}

TEST(UdevRule, VerifiedByUdevadmWhereItCan) {
    // udevadm verify came with systemd 254; older systems have the grammar test below only.
    if (std::system("udevadm verify --help >/dev/null 2>&1") != 0) GTEST_SKIP() << "no udevadm verify here";
    EXPECT_EQ(std::system(("udevadm verify --resolve-names=never " + std::string(QUILLON_UDEV_RULE_FILE)).c_str()),
              0);
}

TEST(UdevRule, FollowsTheGrammarAndGivesAccessToBothFamiliesOnly) {
    std::vector<std::string> errors;
    const std::vector<Rule> rules = ReadRules(QUILLON_UDEV_RULE_FILE, &errors);
    for (const std::string& e : errors) ADD_FAILURE() << e;

    std::set<std::string> labels, gotos;
    const Rule* tty = nullptr;
    std::vector<const Rule*> usb;
    for (const Rule& r : rules) {
        for (const Pair& p : r) {
            if (p.key == "LABEL") labels.insert(p.value);
            if (p.key == "GOTO") gotos.insert(p.value);
            // sysfs spells USB ids in lower case; a match in upper case never fires.
            if (p.key.find("{idVendor}") != std::string::npos || p.key.find("{idProduct}") != std::string::npos) {
                EXPECT_TRUE(std::regex_match(p.value, std::regex("[0-9a-f]{4}(\\|[0-9a-f]{4})*"))) << p.value;
            }
        }
        const Pair* subsystem = Find(r, "SUBSYSTEM", "==");
        if (!subsystem) continue;
        if (subsystem->value == "tty") tty = &r;
        if (subsystem->value == "usb") usb.push_back(&r);
    }
    for (const std::string& g : gotos) EXPECT_TRUE(labels.count(g)) << "GOTO without LABEL: " << g;

    // The newer family's serial ports: vendor and both products, on the USB device above the tty.
    ASSERT_NE(tty, nullptr);
    ASSERT_NE(Find(*tty, "ATTRS{idVendor}", "=="), nullptr);
    EXPECT_EQ(Find(*tty, "ATTRS{idVendor}", "==")->value, "2e4c");
    ASSERT_NE(Find(*tty, "ATTRS{idProduct}", "=="), nullptr);
    EXPECT_EQ(Alternatives(Find(*tty, "ATTRS{idProduct}", "==")->value), (std::set<std::string>{"0a1e", "0a1f"}));
    ExpectGivesAccessAndKeepsModemManagerOff(*tty);

    // USB device nodes: the seat's user gets the older family's (610, 640) only; of the newer
    // family's, ModemManager is kept off and nobody gets raw access. No rule matches the whole
    // vendor, so a future device of the maker gets nothing.
    std::set<std::string> access, modemManagerOff;
    for (const Rule* r : usb) {
        ASSERT_NE(Find(*r, "ATTR{idVendor}", "=="), nullptr);
        EXPECT_EQ(Find(*r, "ATTR{idVendor}", "==")->value, "2e4c");
        ASSERT_NE(Find(*r, "ENV{DEVTYPE}", "=="), nullptr);
        EXPECT_EQ(Find(*r, "ENV{DEVTYPE}", "==")->value, "usb_device");
        const Pair* product = Find(*r, "ATTR{idProduct}", "==");
        ASSERT_NE(product, nullptr) << "a rule for every USB device of the maker";
        const std::set<std::string> products = Alternatives(product->value);
        if (Find(*r, "TAG", "+=")) {
            ExpectGivesAccessAndKeepsModemManagerOff(*r);
            access.insert(products.begin(), products.end());
        } else {
            const Pair* mm = Find(*r, "ENV{ID_MM_DEVICE_IGNORE}", "=");
            ASSERT_NE(mm, nullptr);
            EXPECT_EQ(mm->value, "1");
            modemManagerOff.insert(products.begin(), products.end());
        }
    }
    EXPECT_EQ(access, (std::set<std::string>{"0610", "0640"}));
    EXPECT_EQ(modemManagerOff, (std::set<std::string>{"0a1e", "0a1f"}));
}

TEST(UdevRule, GrammarCheckCatchesMistakes) {
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {R"(SUBSYSTEM=="tty", TAG+="uaccess")", ""},
        {R"(SUBSYSTEM="tty", TAG+="uaccess")", "SUBSYSTEM only matches"},
        {R"(SUBSYSTEM=="tty" TAG+="uaccess")", "pairs must be separated by commas"},
        {R"(SUBSYSTEM=="tty", MODE=="0660")", "MODE only assigns"},
        {R"(SUBSYSTEM=="tty", ENV="1")", "ENV: attribute name"},
        {R"(SUBSYSTEMS=="usb", ATTRS{idVendor}=="2e4c", TAGS+="x")", "TAGS only matches"},
        {R"(SUBSYSTEM=="tty", TAG+=uaccess)", "not a KEY op"},
        {R"(SUBSYSTEM=="tty", FOO="1")", "unknown key FOO"},
        {R"(SUBSYSTEM=="tty",)", "a comma ends the line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string error;
        ParseLine(c.line, &error);
        if (std::string(c.error).empty())
            EXPECT_EQ(error, "");
        else
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

}  // namespace
