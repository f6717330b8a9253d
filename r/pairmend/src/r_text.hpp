#ifndef PAIRMEND_R_TEXT_HPP
#define PAIRMEND_R_TEXT_HPP

// R's texts as the C++ side compares and prints them: UTF-8 bytes.

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

} // namespace pairmend_r

#endif
