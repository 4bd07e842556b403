// Reads a written message back with GMime's parser, for the tests that check what was composed.
#pragma once

#include <gmime/gmime.h>
#include <memory>
#include <string>

namespace quillate::testing {

struct TGUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using TParsedMessage = std::unique_ptr<GMimeMessage, TGUnref>;

inline TParsedMessage ParseMessage(const std::string& text) {
    std::unique_ptr<GMimeStream, TGUnref> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    std::unique_ptr<GMimeParser, TGUnref> parser(g_mime_parser_new_with_stream(stream.get()));
    return TParsedMessage(g_mime_parser_construct_message(parser.get(), nullptr));
}

// The decoded content of a leaf part: raw bytes for an attachment, UTF-8 text for a text part.
inline std::string Content(GMimeObject* object) {
    if (GMIME_IS_TEXT_PART(object)) {
        char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(object));
        std::string result = text ? text : "(undecodable)";
        g_free(text);
        return result;
    }
    std::unique_ptr<GMimeStream, TGUnref> out(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(object)), out.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

// The tree as "multipart/mixed[text/plain;us-ascii inline,application/pdf attachment <id> name.pdf]":
// each leaf with its charset, disposition, Content-ID and file name where it has them.
inline std::string Shape(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    char* mime = g_mime_content_type_get_mime_type(type);
    std::string shape = mime;
    g_free(mime);
    if (GMIME_IS_MULTIPART(object)) {
        shape += "[";
        for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(object)); ++i)
            shape += (i ? "," : "") + Shape(g_mime_multipart_get_part(GMIME_MULTIPART(object), i));
        return shape + "]";
    }
    auto add = [&](const char* prefix, const char* value, const char* suffix = "") {
        if (value)
            shape += prefix + std::string(value) + suffix;
    };
    add(";", g_mime_content_type_get_parameter(type, "charset"));
    add(" ", g_mime_object_get_disposition(object));
    add(" <", g_mime_object_get_content_id(object), ">");
    add(" ", g_mime_part_get_filename(GMIME_PART(object)));
    return shape;
}

} // namespace quillate::testing
