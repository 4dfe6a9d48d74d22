// The pieces of an XML text, in order, as the camera's XML, its sidecar and XMP packets are read:
// start and end tags with their attributes, text and CDATA sections. Comments and processing
// instructions are passed over; a document type (which could declare entities) and anything else
// not well formed end the text as malformed. Entities are not expanded: a value holding one is read
// as written. Positions are offsets in the whole text, so that a value can be rewritten in place.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kelvatta {

struct XmlAttribute {
    std::string_view name;
    size_t valueAt = 0;  // of the value, past its quote
    std::string_view value;
};

struct XmlToken {
    enum class Kind {
        text,       // character data between markup (value: the characters)
        cdata,      // a CDATA section (value: its content)
        startTag,   // <name attributes...> or <name .../> (empty)
        endTag,     // </name>
        end,        // the text has ended, well formed so far
        malformed,  // the text cannot be read on from at
    };
    Kind kind = Kind::end;
    size_t at = 0, end = 0;  // [at, end) in the text
    std::string_view name;   // of a tag
    std::string_view value;  // of text and CDATA
    std::vector<XmlAttribute> attributes;
    bool empty = false;  // a start tag that closes itself

    const XmlAttribute* attribute(std::string_view attributeName) const;
};

class XmlTokenizer {
public:
    // More attributes in one tag than this is not a text any program here writes.
    static constexpr size_t kMaxAttributes = 4096;

    explicit XmlTokenizer(std::string_view text) : text_(text) {}
    // The next token; end or malformed for good once reached.
    XmlToken next();

private:
    XmlToken malformed(size_t at);
    XmlToken startTag(size_t at);
    XmlToken endTag(size_t at);
    std::string_view nameAt(size_t& i) const;
    void skipSpaces(size_t& i) const;

    std::string_view text_;
    size_t at_ = 0;
    bool over_ = false;
    XmlToken::Kind ending_ = XmlToken::Kind::end;  // what every call returns once over
};

}  // namespace kelvatta
