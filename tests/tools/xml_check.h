// A small XML well-formedness check for the maps: one root element, tags
// balanced and nested, attributes quoted and unique, only the predefined or
// numeric entities, and no stray markup characters in text.
#pragma once

#include <ctype.h>

#include <set>
#include <string>
#include <vector>

namespace toolstest {

class XmlChecker {
public:
    // Empty when the document is well-formed, else what is wrong and where.
    static std::string Check(const std::string& xml) { return XmlChecker(xml).Run(); }

private:
    explicit XmlChecker(const std::string& xml) : xml_(xml) {}

    std::string Fail(const std::string& what) const { return what + " at byte " + std::to_string(at_); }

    bool StartsWith(const char* text) const { return xml_.compare(at_, strlen(text), text) == 0; }

    static bool NameChar(char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ':' || c == '.' ||
               (static_cast<unsigned char>(c) & 0x80);
    }

    std::string Name() {
        size_t start = at_;
        while (at_ < xml_.size() && NameChar(xml_[at_])) {
            ++at_;
        }
        return xml_.substr(start, at_ - start);
    }

    void Spaces() {
        while (at_ < xml_.size() && isspace(static_cast<unsigned char>(xml_[at_]))) {
            ++at_;
        }
    }

    // Checks text up to `end` for markup characters and entities.
    std::string CheckText(size_t end, bool attribute) {
        for (size_t i = at_; i < end; ++i) {
            char c = xml_[i];
            if (c == '<' || (attribute && c == '"')) {
                at_ = i;
                return Fail("unescaped markup character");
            }
            if (c == '&') {
                size_t semi = xml_.find(';', i);
                if (semi == std::string::npos || semi > end) {
                    at_ = i;
                    return Fail("unterminated entity");
                }
                std::string entity = xml_.substr(i + 1, semi - i - 1);
                static const std::set<std::string> kNamed = {"amp", "lt", "gt", "quot", "apos"};
                bool numeric = entity.size() > 1 && entity[0] == '#';
                if (!kNamed.count(entity) && !numeric) {
                    at_ = i;
                    return Fail("unknown entity &" + entity + ";");
                }
            }
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                at_ = i;
                return Fail("control character");
            }
        }
        return "";
    }

    std::string Run() {
        std::vector<std::string> open;
        bool rootSeen = false;
        while (at_ < xml_.size()) {
            if (StartsWith("<?")) {
                size_t end = xml_.find("?>", at_);
                if (end == std::string::npos) {
                    return Fail("unterminated declaration");
                }
                at_ = end + 2;
            } else if (StartsWith("<!--")) {
                size_t end = xml_.find("-->", at_);
                if (end == std::string::npos) {
                    return Fail("unterminated comment");
                }
                at_ = end + 3;
            } else if (StartsWith("</")) {
                at_ += 2;
                std::string name = Name();
                Spaces();
                if (at_ >= xml_.size() || xml_[at_] != '>') {
                    return Fail("bad end tag");
                }
                ++at_;
                if (open.empty() || open.back() != name) {
                    return Fail("end tag </" + name + "> does not close " + (open.empty() ? "anything" : open.back()));
                }
                open.pop_back();
            } else if (StartsWith("<")) {
                ++at_;
                std::string name = Name();
                if (name.empty()) {
                    return Fail("tag without a name");
                }
                if (open.empty()) {
                    if (rootSeen) {
                        return Fail("second root element");
                    }
                    rootSeen = true;
                }
                std::set<std::string> attributes;
                for (;;) {
                    size_t before = at_;
                    Spaces();
                    if (at_ >= xml_.size()) {
                        return Fail("unterminated tag");
                    }
                    if (StartsWith("/>")) {
                        at_ += 2;
                        break;
                    }
                    if (xml_[at_] == '>') {
                        ++at_;
                        open.push_back(name);
                        break;
                    }
                    if (at_ == before) {
                        return Fail("attributes must be separated by space");
                    }
                    std::string attribute = Name();
                    if (attribute.empty() || !attributes.insert(attribute).second) {
                        return Fail("missing or repeated attribute '" + attribute + "'");
                    }
                    if (!StartsWith("=\"")) {
                        return Fail("attribute " + attribute + " is not quoted");
                    }
                    at_ += 2;
                    size_t end = xml_.find('"', at_);
                    if (end == std::string::npos) {
                        return Fail("unterminated attribute");
                    }
                    if (std::string error = CheckText(end, true); !error.empty()) {
                        return error;
                    }
                    at_ = end + 1;
                }
            } else {
                size_t end = xml_.find('<', at_);
                end = end == std::string::npos ? xml_.size() : end;
                if (open.empty()) {
                    for (size_t i = at_; i < end; ++i) {
                        if (!isspace(static_cast<unsigned char>(xml_[i]))) {
                            at_ = i;
                            return Fail("text outside the root element");
                        }
                    }
                }
                if (std::string error = CheckText(end, false); !error.empty()) {
                    return error;
                }
                at_ = end;
            }
        }
        if (!open.empty()) {
            return Fail("<" + open.back() + "> is never closed");
        }
        return rootSeen ? "" : "no root element";
    }

    const std::string& xml_;
    size_t at_ = 0;
};

}  // namespace toolstest
