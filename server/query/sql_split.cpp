// Top-level splitting helpers shared by the statement parsers.
#include "query/sql_split.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "storage/text_util.h"

namespace {

// Past the quoted string at p, or NULL when it does not close before end.
const char* skip_quoted_in(const char* p, const char* end) {
  const char* q = sql_skip_quoted_string(p);
  if (!q || q > end) return nullptr;
  return q;
}

}  // namespace

void sql_set_err(char* err, size_t errlen, const char* msg) {
  if (err && errlen > 0) std::snprintf(err, errlen, "%s", msg);
}

int sql_split_top_level(const char* begin, const char* end, char sep,
                        std::vector<SqlSpan>* out) {
  out->clear();
  int depth = 0;
  const char* start = begin;
  const char* p = begin;
  while (p < end) {
    char c = *p;
    if (c == '\'' || c == '"') {
      p = skip_quoted_in(p, end);
      if (!p) return -1;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth > 0) --depth;
    } else if (c == sep && depth == 0) {
      out->push_back({start, p});
      start = p + 1;
    }
    ++p;
  }
  out->push_back({start, end});
  return depth == 0 ? 0 : -1;
}

const char* sql_find_top_level_sep(const char* begin, const char* end, char sep) {
  int depth = 0;
  const char* p = begin;
  while (p < end) {
    char c = *p;
    if (c == '\'' || c == '"') {
      p = skip_quoted_in(p, end);
      if (!p) return nullptr;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth > 0) --depth;
    } else if (c == sep && depth == 0) {
      return p;
    }
    ++p;
  }
  return nullptr;
}

const char* sql_find_matching_paren(const char* open, const char* end) {
  int depth = 0;
  const char* p = open;
  while (p < end) {
    char c = *p;
    if (c == '\'' || c == '"') {
      p = skip_quoted_in(p, end);
      if (!p) return nullptr;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return p;
    }
    ++p;
  }
  return nullptr;
}

std::string sql_trimmed(const char* begin, const char* end) {
  std::string s(begin, static_cast<size_t>(end - begin));
  trim_ws(s.data());
  s.resize(std::strlen(s.c_str()));
  return s;
}

int sql_is_single_literal(const std::string& text) {
  if (text.empty()) return 0;
  const char* p = text.c_str();
  if (*p == '\'' || *p == '"') {
    const char* q = sql_skip_quoted_string(p);
    return (q && *q == '\0') ? 1 : 0;
  }
  for (unsigned char c : text) {
    if (std::isspace(c) || c == '\'' || c == '"') return 0;
  }
  return 1;
}
