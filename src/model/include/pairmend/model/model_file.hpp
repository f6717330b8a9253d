#ifndef PAIRMEND_MODEL_MODEL_FILE_HPP
#define PAIRMEND_MODEL_MODEL_FILE_HPP

#include "pairmend/model/Model.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pairmend::model {

/// The model-file format version this library writes, and the newest it reads.
constexpr std::uint32_t model_format_version = 1;

/**
 * The bytes of a model file (.pmm): magic, format version, file length, typed sections and a
 * CRC-32 over everything before it. docs/model_format.md describes the layout.
 *
 * @throws std::runtime_error if the model does not pass `check_model`.
 */
std::vector<unsigned char> encode_model(const Model& model);

/**
 * Reads the bytes of a model file, refusing anything it cannot trust: a bad magic, a newer
 * format version, a length that does not match (truncated or with bytes after its end), a
 * checksum that does not match (corrupt), a declared size that does not fit the bytes that
 * remain, a missing or unreadable section, or parts that do not fit together. No room is
 * allocated from a declared size before that size is checked against the bytes remaining.
 *
 * @param bytes, size The file's contents.
 * @param source How messages name the file, e.g. "The model file study.pmm".
 * @throws std::runtime_error with a sentence naming `source` and the fault.
 */
Model decode_model(const unsigned char* bytes, std::size_t size, const std::string& source);

/**
 * Writes a model file atomically: to a temporary file in the destination's folder, then renamed
 * over `path`; a failed write leaves no temporary file and any earlier file at `path` unchanged.
 *
 * @throws std::runtime_error naming the file and the cause.
 */
void save_model(const Model& model, const std::string& path);

/**
 * Reads a model file.
 *
 * @throws std::runtime_error naming the file and the fault (see `decode_model`), or that it
 * cannot be read.
 */
Model load_model(const std::string& path);

} // namespace pairmend::model

#endif
