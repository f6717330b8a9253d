// Fuzz target: the model-file reader on arbitrary bytes. An input whose first byte is odd has its
// declared length and checksum set to fit its other bytes first, so that the fuzzer reaches the
// section parser instead of stopping at the checksum. A refusal must be a std::runtime_error whose
// message names the file; for a model that is read, apply must run on every batch without a fault
// and writing the model again must give back the same bytes it reads as.

#include "pairmend/model/apply.hpp"
#include "pairmend/model/model_file.hpp"

#include "crc32.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string source = "The model file fuzz.pmm";

// The declared length and the checksum, as a writer would set them for these bytes.
void reseal(std::vector<unsigned char>& bytes) {
    if (bytes.size() < 28) {
        return;
    }
    const std::uint64_t length = bytes.size();
    for (int i = 0; i < 8; ++i) {
        bytes[16 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(length >> (8 * i));
    }
    const std::uint32_t crc = pairmend::model::internal::crc32(bytes.data(), bytes.size() - 4);
    for (int i = 0; i < 4; ++i) {
        bytes[bytes.size() - 4 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(crc >> (8 * i));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::vector<unsigned char> bytes(data + 1, data + size);
    if ((data[0] & 1U) != 0) {
        reseal(bytes);
    }

    pairmend::model::Model model;
    try {
        model = pairmend::model::decode_model(bytes.data(), bytes.size(), source);
    } catch (const std::runtime_error& error) {
        if (std::string(error.what()).rfind(source + " ", 0) != 0) {
            std::abort();
        }
        return 0;
    }

    // Whatever is read is safe to use: a few events of every batch, at the first reference row.
    const std::size_t width = static_cast<std::size_t>(model.ndim);
    std::vector<double> events(3 * width, 0.5);
    for (std::size_t i = 0; i < width && i < model.reference.size(); ++i) {
        events[i] = model.reference[i];
    }
    std::vector<double> output(events.size());
    for (const auto& batch : model.batches) {
        pairmend::model::apply(model, batch.name, model.ndim, 3, events.data(), output.data(), 1);
    }

    const std::vector<unsigned char> written = pairmend::model::encode_model(model);
    const pairmend::model::Model again =
        pairmend::model::decode_model(written.data(), written.size(), source);
    if (pairmend::model::encode_model(again) != written) {
        std::abort();
    }
    return 0;
}
