#ifndef PAIRMEND_R_TEXT_HPP
#define PAIRMEND_R_TEXT_HPP

// Texts between R and the C++ side: the C++ side compares and stores UTF-8 bytes; texts that come
// from files (FCS keywords, a model file's names) go back to R marked with their encoding.

// Rcpp needs R's API without its short macro names (length(), error(), ...), which clash with C++.
#ifndef R_NO_REMAP
#define R_NO_REMAP
#endif
#include <Rinternals.h>

#include <string>

namespace pairmend_r {

/**
 * A text of R (a CHARSXP) as UTF-8 bytes. A text marked "bytes" has no declared encoding to
 * translate from and R refuses to translate it, so its bytes are taken as they are.
 */
inline std::string utf8_text(SEXP text) {
    return Rf_getCharCE(text) == CE_BYTES ? CHAR(text) : Rf_translateCharUTF8(text);
}

/** Whether `text` is well-formed UTF-8 (RFC 3629: no overlong forms, surrogates or values beyond U+10FFFF).
 */
bool is_utf8(const std::string& text);

/**
 * A text read from a file as an R text (a CHARSXP): marked UTF-8 when it is well-formed UTF-8, and
 * read as Latin-1 otherwise (older FCS files carry Latin-1, such as µ and °), so that no text is
 * refused or lost. R texts cannot hold NUL characters, so any NUL is left out.
 */
SEXP file_text(std::string text);

} // namespace pairmend_r

#endif
