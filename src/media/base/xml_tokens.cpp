#include "media/base/xml_tokens.h"

#include <algorithm>

namespace kelvatta {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isNameChar(char c) { return !isSpace(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\''; }

XmlToken tokenOf(XmlToken::Kind kind, size_t at, size_t end, std::string_view value = {})
{
    XmlToken token;
    token.kind = kind;
    token.at = at;
    token.end = end;
    token.value = value;
    return token;
}

}  // namespace

const XmlAttribute* XmlToken::attribute(std::string_view attributeName) const
{
    for (const XmlAttribute& a : attributes)
        if (a.name == attributeName) return &a;
    return nullptr;
}

XmlToken XmlTokenizer::next()
{
    while (!over_) {
        if (at_ >= text_.size()) {
            over_ = true;
            ending_ = XmlToken::Kind::end;
            break;
        }
        const size_t at = at_;
        if (text_[at] != '<') {
            const size_t end = std::min(text_.find('<', at), text_.size());
            at_ = end;
            return tokenOf(XmlToken::Kind::text, at, end, text_.substr(at, end - at));
        }
        const std::string_view rest = text_.substr(at);
        // Markup that holds no element: passed over, or a CDATA section's content.
        const auto skipTo = [&](std::string_view opening, std::string_view closing) {
            const size_t close = text_.find(closing, at + opening.size());
            if (close == std::string_view::npos) return false;
            at_ = close + closing.size();
            return true;
        };
        if (rest.starts_with("<!--")) {
            if (!skipTo("<!--", "-->")) return malformed(at);
        } else if (rest.starts_with("<?")) {
            if (!skipTo("<?", "?>")) return malformed(at);
        } else if (rest.starts_with("<![CDATA[")) {
            if (!skipTo("<![CDATA[", "]]>")) return malformed(at);
            const size_t from = at + 9;
            return tokenOf(XmlToken::Kind::cdata, at, at_, text_.substr(from, at_ - 3 - from));
        } else if (rest.starts_with("<!")) {
            return malformed(at);  // a document type could declare entities
        } else if (rest.starts_with("</")) {
            return endTag(at);
        } else {
            return startTag(at);
        }
    }
    return tokenOf(ending_, at_, at_);
}

XmlToken XmlTokenizer::malformed(size_t at)
{
    over_ = true;
    ending_ = XmlToken::Kind::malformed;
    at_ = at;
    return tokenOf(XmlToken::Kind::malformed, at, at);
}

std::string_view XmlTokenizer::nameAt(size_t& i) const
{
    const size_t from = i;
    while (i < text_.size() && isNameChar(text_[i])) ++i;
    return text_.substr(from, i - from);
}

void XmlTokenizer::skipSpaces(size_t& i) const
{
    while (i < text_.size() && isSpace(text_[i])) ++i;
}

XmlToken XmlTokenizer::endTag(size_t at)
{
    size_t i = at + 2;
    XmlToken token = tokenOf(XmlToken::Kind::endTag, at, at);
    token.name = nameAt(i);
    skipSpaces(i);
    if (token.name.empty() || i >= text_.size() || text_[i] != '>') return malformed(at);
    token.end = at_ = i + 1;
    return token;
}

XmlToken XmlTokenizer::startTag(size_t at)
{
    size_t i = at + 1;
    XmlToken token = tokenOf(XmlToken::Kind::startTag, at, at);
    token.name = nameAt(i);
    if (token.name.empty()) return malformed(at);
    for (;;) {
        const size_t before = i;
        skipSpaces(i);
        if (i >= text_.size()) return malformed(at);
        if (text_[i] == '>') break;
        if (text_.substr(i).starts_with("/>")) {
            token.empty = true;
            ++i;
            break;
        }
        if (i == before) return malformed(at);  // attributes are separated by white space
        XmlAttribute attribute;
        attribute.name = nameAt(i);
        if (attribute.name.empty()) return malformed(at);
        skipSpaces(i);
        if (i >= text_.size() || text_[i] != '=') return malformed(at);
        ++i;
        skipSpaces(i);
        if (i >= text_.size() || (text_[i] != '"' && text_[i] != '\'')) return malformed(at);
        const size_t close = text_.find(text_[i], i + 1);
        if (close == std::string_view::npos) return malformed(at);
        attribute.valueAt = i + 1;
        attribute.value = text_.substr(i + 1, close - i - 1);
        if (attribute.value.find('<') != std::string_view::npos || token.attributes.size() >= kMaxAttributes)
            return malformed(at);
        token.attributes.push_back(attribute);
        i = close + 1;
    }
    token.end = at_ = i + 1;
    return token;
}

}  // namespace kelvatta
