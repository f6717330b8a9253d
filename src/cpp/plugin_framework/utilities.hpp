#ifndef QN_UTILITIES_HPP
#define QN_UTILITIES_HPP

#include <fstream>
#include <string>
#include <vector>

namespace QN {

/**
 * Returns the directory that holds the running program file, without a trailing separator.
 *
 * Relative file names of a job are resolved against this directory, never against the
 * current working directory, so that the host may start the program from anywhere.
 *
 * @throws std::runtime_error "Couldn't get path of executable" when the platform cannot name
 *         the program file.
 */
std::string GetExecutablePath();

/**
 * Resolves a file name against the program's directory.
 *
 * @param name A file name; an absolute name comes back unchanged, a relative one is placed
 *        inside the program's directory with one separator between, and an empty one gives
 *        the directory followed by one separator.
 * @return The resolved name.
 * @throws std::runtime_error as GetExecutablePath().
 */
std::string add_file_path(const std::string& name);

/**
 * Splits a text at any of the given delimiter characters.
 *
 * Empty tokens are dropped: leading, trailing and consecutive delimiters produce nothing.
 * Tokens keep their surrounding white space.
 *
 * @param text The text to split.
 * @param delimiters The delimiter characters; when empty, the text comes back whole as the
 *        only token (unless the text itself is empty).
 * @param doubledDelimiterEscapes When true, a delimiter immediately followed by the same
 *        character stands for one literal delimiter character inside the token.
 * @return The non-empty tokens in text order.
 */
std::vector<std::string> tokenize(const std::string& text, const std::string& delimiters,
                                  bool doubledDelimiterEscapes);

/**
 * Removes leading and trailing white space (blank, tab, line feed, vertical tab, form feed,
 * carriage return); inner white space stays.
 *
 * @param text The text to trim.
 * @return The trimmed text; the empty string when the text holds only white space.
 */
std::string trim(const std::string& text);

/**
 * Opens a file for reading as text.
 *
 * A folder opens like a file on some systems but holds no lines, so it is refused as well.
 *
 * @param path The file name.
 * @param file Receives the open file.
 * @return False when `path` names a folder or the file cannot be opened.
 */
bool open_text_file(const std::string& path, std::ifstream& file);

} // namespace QN

#endif
