#pragma once

#include <string>
#include <string_view>
#include <vector>

// Linear scanners standing in for the four fixed HTML patterns. std::regex
// recurses once per character and overflows the stack on a portal page with
// one unclosed row, so each scanner returns exactly what its ECMAScript
// pattern would, without backtracking.
namespace tavo::core::infra::parsing::scan {

// Every match of "<[^>]+>" replaced by one blank.
std::string replaceTags(std::string_view text);

// Every match of "\s+" (blank, tab, LF, CR, VT, FF) replaced by one blank.
std::string collapseWhitespace(std::string_view text);

// Group 1 of every match of "<tr\s+[^>]*onmouseover[^>]*>([\s\S]*?)</tr>",
// letter case ignored.
std::vector<std::string> dataRows(std::string_view html);

// Group 1 of every match of "<td[^>]*>([\s\S]*?)</td>", letter case ignored.
std::vector<std::string> cells(std::string_view html);

// What a reader of the page sees, for reading its words: every tag (with its
// attribute values, quoted ones may hold ">"), comment, and the content of
// script and style elements become one blank each; so do a "<" that opens no
// tag and a no-break space (U+00A0). Entities stay for HtmlUtils::stripHtml.
std::string visibleText(std::string_view html);

// The value of the first "charset=" parameter in text (blanks around "=" and
// one quote allowed), lower-cased; empty when there is none.
std::string charsetParameter(std::string_view text);

// The charset the page declares in a meta tag (charset="..." or an
// http-equiv content type) before its body, lower-cased; empty when none.
std::string metaCharset(std::string_view html);

// The number a page gives as a value starting at pos ("pid= '123'"): blanks
// skipped, one optional quote, then the digits; empty when no digit follows.
std::string_view digitsAt(std::string_view html, size_t pos);

}  // namespace tavo::core::infra::parsing::scan
