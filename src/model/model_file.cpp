#include "pairmend/model/model_file.hpp"

#include "byte_codec.hpp"
#include "crc32.hpp"
#include "pairmend/output_transaction.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace pairmend::model {

namespace {

using internal::ByteReader;
using internal::ByteWriter;

// PNG-style signature: a non-text first byte, the name, and line ends that text-mode transfers mangle.
constexpr unsigned char magic[8] = {0x89, 'P', 'M', 'M', 0x0D, 0x0A, 0x1A, 0x0A};
// Magic, version, flags and file length; the CRC-32 follows the last section.
constexpr std::size_t header_size = 24;
constexpr std::size_t crc_size = 4;

// The sections of every model; each method adds the type of its batch sections (4 for "mnn", 8
// for "curves", MethodInfo::section).
enum SectionType : std::uint32_t {
    settings_section = 1,
    parameters_section = 2,
    batches_section = 3,
    reference_section = 5,
    fcs_section = 6,
    method_section = 7,
    compensation_section = 9,
    transforms_section = 10,
    conditions_section = 11,
};
// A section a reader must understand to use the model; unknown sections without it are skipped.
constexpr std::uint32_t required_flag = 1;

void begin_section(ByteWriter& out, std::uint32_t type, std::uint32_t flags, std::size_t& length_at) {
    out.u32(type);
    out.u32(flags);
    length_at = out.size();
    out.u64(0);
}

void end_section(ByteWriter& out, std::size_t length_at) {
    out.patch_u64(length_at, out.size() - length_at - 8);
}

void write_settings(ByteWriter& out, const Settings& settings) {
    out.i32(settings.num_neighbors);
    out.f64(settings.num_mads);
    out.i32(settings.robust_iterations);
    out.f64(settings.robust_trim);
    out.u8(settings.approximate ? 1 : 0);
    out.u8(settings.automatic_order ? 1 : 0);
    out.u8(static_cast<std::uint8_t>(settings.reference_policy));
    out.u64(settings.observation_cap);
    out.u64(settings.reference_events);
}

void read_settings(ByteReader in, Model& model) {
    Settings& settings = model.settings;
    settings.num_neighbors = in.i32();
    settings.num_mads = in.f64();
    settings.robust_iterations = in.i32();
    settings.robust_trim = in.f64();
    settings.approximate = in.u8() != 0;
    settings.automatic_order = in.u8() != 0;
    const std::uint8_t policy = in.u8();
    if (policy > mnncorrect::MaxRSS) {
        throw std::runtime_error(in.source() + " is corrupt: it names reference policy " +
                                 std::to_string(policy) + ", which does not exist.");
    }
    settings.reference_policy = static_cast<mnncorrect::ReferencePolicy>(policy);
    settings.observation_cap = in.u64();
    settings.reference_events = in.u64();
}

void read_parameters(ByteReader in, Model& model) {
    const std::uint32_t ndim = in.u32();
    // Every name takes at least its 4-byte length.
    in.room(ndim, 4, "parameter names");
    if (ndim == 0 || ndim > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
        throw std::runtime_error(in.source() + " is corrupt: it declares " + std::to_string(ndim) +
                                 " parameters.");
    }
    model.ndim = static_cast<int>(ndim);
    for (std::uint32_t d = 0; d < ndim; ++d) {
        model.parameters.push_back(in.text("parameter name"));
    }
}

void read_batches(ByteReader in, Model& model) {
    const std::uint32_t count = in.u32();
    // Name length, number, fitted events, reference rows and pair count: at least 36 bytes each.
    in.room(count, 36, "batches");
    for (std::uint32_t b = 0; b < count; ++b) {
        BatchModel batch;
        batch.name = in.text("batch name");
        batch.number = in.i64();
        batch.fitted_events = in.u64();
        batch.reference_rows = in.u64();
        const std::int64_t pairs = in.i64();
        if (b > 0) {
            model.num_pairs.push_back(pairs);
        }
        model.batches.push_back(std::move(batch));
    }
}

// The method whose batch sections have type `type`, or none.
const MethodInfo* method_of_section(std::uint32_t type) {
    for (const MethodInfo& method : methods()) {
        if (method.section == type) {
            return &method;
        }
    }
    return nullptr;
}

// A batch correction section: its batch position, then the method's own contents.
void read_correction(ByteReader in, const MethodInfo& method, const Model& model,
                     std::map<std::uint32_t, std::shared_ptr<const BatchCorrection>>& seen) {
    const std::uint32_t position = in.u32();
    if (position == 0 || position >= model.batches.size() || seen.count(position) != 0) {
        throw std::runtime_error(in.source() + " is corrupt: it holds " + method.words.section +
                                 " for batch position " + std::to_string(position) +
                                 ", which is the first, repeated or unknown.");
    }
    seen[position] = method.decode(in, model);
}

void read_fcs(ByteReader in, Model& model) {
    FcsInfo fcs;
    const std::uint32_t count = in.u32();
    in.room(count, 8, "FCS channels");
    for (std::uint32_t c = 0; c < count; ++c) {
        FcsChannel channel;
        channel.name = in.text("FCS channel name");
        channel.label = in.text("FCS channel label");
        fcs.channels.push_back(std::move(channel));
    }
    fcs.cofactor = in.f64();
    if (!(fcs.cofactor > 0) || !std::isfinite(fcs.cofactor)) {
        throw std::runtime_error(in.source() + " is corrupt: its arcsinh cofactor is not a positive number.");
    }
    model.fcs = std::move(fcs);
}

// How the FCS files' values were compensated: 1 with every file's own matrix, 2 with the one
// matrix that follows (its source, channel names and values row after row).
void write_compensation(ByteWriter& out, const FcsCompensation& compensation) {
    out.u8(compensation.kind == CompensationKind::matrix_file ? 2 : 1);
    out.text(compensation.source);
    out.u32(static_cast<std::uint32_t>(compensation.channels.size()));
    for (const std::string& name : compensation.channels) {
        out.text(name);
    }
    out.f64s(compensation.spillover);
}

// The conditions section: the condition names, per batch (in merge order) the conditions it
// holds and those it learnt from, and the condition of every stored reference row.
void write_condition_list(ByteWriter& out, const std::vector<std::uint32_t>& list) {
    out.u32(static_cast<std::uint32_t>(list.size()));
    for (const std::uint32_t c : list) {
        out.u32(c);
    }
}

void write_conditions(ByteWriter& out, const Model& model) {
    out.u32(static_cast<std::uint32_t>(model.conditions.size()));
    for (const std::string& name : model.conditions) {
        out.text(name);
    }
    out.u32(static_cast<std::uint32_t>(model.batches.size()));
    for (const BatchModel& batch : model.batches) {
        write_condition_list(out, batch.conditions_held);
        write_condition_list(out, batch.conditions_learnt);
    }
    write_condition_list(out, model.reference_conditions);
}

std::vector<std::uint32_t> read_condition_list(ByteReader& in, std::size_t nconditions, const char* what) {
    std::vector<std::uint32_t> list(in.room(in.u32(), 4, what));
    for (std::uint32_t& c : list) {
        c = in.u32();
        if (c >= nconditions) {
            throw std::runtime_error(in.source() + " is corrupt: its " + what +
                                     " name a condition it does not list.");
        }
    }
    return list;
}

void read_conditions(ByteReader in, Model& model) {
    const std::uint32_t nconditions = in.u32();
    in.room(nconditions, 4, "condition names");
    for (std::uint32_t c = 0; c < nconditions; ++c) {
        model.conditions.push_back(in.text("condition name"));
    }
    if (nconditions == 0 || in.u32() != model.batches.size()) {
        throw std::runtime_error(in.source() + " is corrupt: its conditions do not fit its batches.");
    }
    for (BatchModel& batch : model.batches) {
        batch.conditions_held = read_condition_list(in, nconditions, "batch conditions");
        batch.conditions_learnt = read_condition_list(in, nconditions, "batch conditions");
    }
    model.reference_conditions = read_condition_list(in, nconditions, "reference conditions");
    if (model.reference_conditions.size() * static_cast<std::size_t>(model.ndim) != model.reference.size()) {
        throw std::runtime_error(in.source() + " is corrupt: its conditions do not fit its reference rows.");
    }
}

void read_compensation(ByteReader in, Model& model) {
    if (!model.fcs) {
        throw std::runtime_error(in.source() + " is corrupt: its sections are out of order.");
    }
    FcsCompensation compensation;
    const std::uint8_t kind = in.u8();
    if (kind != 1 && kind != 2) {
        throw std::runtime_error(in.source() + " is corrupt: it names compensation kind " +
                                 std::to_string(kind) + ", which does not exist.");
    }
    compensation.kind = kind == 2 ? CompensationKind::matrix_file : CompensationKind::own_matrices;
    compensation.source = in.text("compensation source");
    const std::uint32_t count = in.u32();
    in.room(count, 4, "compensation channels");
    for (std::uint32_t c = 0; c < count; ++c) {
        compensation.channels.push_back(in.text("compensation channel name"));
    }
    const std::uint64_t n = count;
    in.room(n * n, 8, "spillover values");
    compensation.spillover = in.f64s(n * n, "spillover values");
    if ((kind == 2) != (count > 0)) {
        throw std::runtime_error(in.source() + " is corrupt: its compensation " +
                                 (kind == 2 ? "lacks its matrix." : "holds a matrix it does not use."));
    }
    for (const double value : compensation.spillover) {
        if (!std::isfinite(value)) {
            throw std::runtime_error(
                in.source() + " is corrupt: its spillover matrix holds a value that is not a finite number.");
        }
    }
    model.fcs->compensation = std::move(compensation);
}

// Every channel's transform: its kind, then its parameters.
void write_transforms(ByteWriter& out, const std::vector<ChannelTransform>& transforms) {
    out.u32(static_cast<std::uint32_t>(transforms.size()));
    for (const ChannelTransform& transform : transforms) {
        out.u8(static_cast<std::uint8_t>(transform.kind));
        out.u32(static_cast<std::uint32_t>(transform.parameters.size()));
        out.f64s(transform.parameters);
    }
}

void read_transforms(ByteReader in, Model& model) {
    if (!model.fcs) {
        throw std::runtime_error(in.source() + " is corrupt: its sections are out of order.");
    }
    const std::uint32_t count = in.u32();
    in.room(count, 5, "channel transforms");
    std::vector<ChannelTransform> transforms;
    for (std::uint32_t c = 0; c < count; ++c) {
        ChannelTransform transform;
        const std::uint8_t kind = in.u8();
        if (kind < static_cast<std::uint8_t>(TransformKind::arcsinh) ||
            kind > static_cast<std::uint8_t>(TransformKind::linear)) {
            throw std::runtime_error(in.source() + " is corrupt: it names transform kind " +
                                     std::to_string(kind) + ", which does not exist.");
        }
        transform.kind = static_cast<TransformKind>(kind);
        const std::uint32_t n = in.u32();
        in.room(n, 8, "transform parameters");
        transform.parameters = in.f64s(n, "transform parameters");
        transforms.push_back(std::move(transform));
    }
    if (transforms.empty()) {
        throw std::runtime_error(in.source() + " is corrupt: its section of channel transforms is empty.");
    }
    model.fcs->transforms = std::move(transforms);
}

void read_reference(ByteReader in, Model& model) {
    const std::uint64_t rows = in.u64();
    const std::size_t width = static_cast<std::size_t>(model.ndim);
    in.room(rows, 8 * static_cast<std::uint64_t>(width), "reference rows");
    model.reference = in.f64s(rows * width, "reference values");
}

void read_method(ByteReader in, Model& model) {
    const std::string name = in.text("method name");
    try {
        model.method = parse_method(name);
    } catch (const std::runtime_error&) {
        throw std::runtime_error(in.source() + " corrects with the method \"" + name +
                                 "\", which this pairmend does not know; it needs a newer pairmend.");
    }
}

// The reader of every section of the model itself, by type; a method's sections are read by
// read_correction.
using SectionReader = void (*)(ByteReader in, Model& model);
struct ModelSection {
    SectionType type;
    SectionReader read;
};
constexpr ModelSection kModelSections[] = {
    {settings_section, &read_settings},
    {parameters_section, &read_parameters},
    {batches_section, &read_batches},
    {reference_section, &read_reference},
    {fcs_section, &read_fcs},
    {method_section, &read_method},
    {compensation_section, &read_compensation},
    {transforms_section, &read_transforms},
    {conditions_section, &read_conditions},
};

SectionReader model_section_reader(std::uint32_t type) {
    for (const ModelSection& section : kModelSections) {
        if (section.type == type) {
            return section.read;
        }
    }
    return nullptr;
}

// Refuses stored values that are not finite numbers: no correction produces them, and neighbour
// searches over them would mean nothing.
void check_finite(const std::vector<double>& values, const std::string& source, const std::string& what) {
    for (const double value : values) {
        if (!std::isfinite(value)) {
            throw std::runtime_error(source + " is corrupt: its " + what +
                                     " hold a value that is not a finite number.");
        }
    }
}

std::string system_error_text() {
    return std::strerror(errno);
}

} // namespace

std::vector<unsigned char> encode_model(const Model& model) {
    check_model(model, "The model");
    ByteWriter out;
    for (const unsigned char byte : magic) {
        out.u8(byte);
    }
    out.u32(model_format_version);
    out.u32(0);
    out.u64(0); // file length, set at the end

    std::size_t length_at = 0;
    begin_section(out, settings_section, required_flag, length_at);
    write_settings(out, model.settings);
    end_section(out, length_at);

    if (!model.method.is_default()) {
        // Only models of another method carry it, so that a model of the default method ("mnn")
        // reads as the files written before there were methods.
        begin_section(out, method_section, required_flag, length_at);
        out.text(method_name(model.method));
        end_section(out, length_at);
    }

    begin_section(out, parameters_section, required_flag, length_at);
    out.u32(static_cast<std::uint32_t>(model.ndim));
    for (const std::string& name : model.parameters) {
        out.text(name);
    }
    end_section(out, length_at);

    begin_section(out, batches_section, required_flag, length_at);
    out.u32(static_cast<std::uint32_t>(model.batches.size()));
    for (std::size_t b = 0; b < model.batches.size(); ++b) {
        const BatchModel& batch = model.batches[b];
        out.text(batch.name);
        out.i64(batch.number);
        out.u64(batch.fitted_events);
        out.u64(batch.reference_rows);
        out.i64(b == 0 ? 0 : model.num_pairs[b - 1]);
    }
    end_section(out, length_at);

    for (std::size_t b = 1; b < model.batches.size(); ++b) {
        begin_section(out, model.method.info().section, required_flag, length_at);
        out.u32(static_cast<std::uint32_t>(b));
        model.batches[b].correction->encode(out);
        end_section(out, length_at);
    }

    begin_section(out, reference_section, required_flag, length_at);
    out.u64(model.reference.size() / static_cast<std::size_t>(model.ndim));
    out.f64s(model.reference);
    end_section(out, length_at);

    if (model.fcs) {
        // Not required: a reader without FCS support can still apply the model to tables.
        begin_section(out, fcs_section, 0, length_at);
        out.u32(static_cast<std::uint32_t>(model.fcs->channels.size()));
        for (const FcsChannel& channel : model.fcs->channels) {
            out.text(channel.name);
            out.text(channel.label);
        }
        out.f64(model.fcs->cofactor);
        end_section(out, length_at);
        if (model.fcs->compensation) {
            // Required: values corrected without compensating them first would be wrong.
            begin_section(out, compensation_section, required_flag, length_at);
            write_compensation(out, *model.fcs->compensation);
            end_section(out, length_at);
        }
        if (!model.fcs->transforms.empty()) {
            // Required: values transformed otherwise than the model's would be corrected wrongly.
            begin_section(out, transforms_section, required_flag, length_at);
            write_transforms(out, model.fcs->transforms);
            end_section(out, length_at);
        }
    }

    if (!model.conditions.empty()) {
        // Not required: applying the model needs no conditions; adding batches to it does.
        begin_section(out, conditions_section, 0, length_at);
        write_conditions(out, model);
        end_section(out, length_at);
    }

    out.patch_u64(16, out.size() + crc_size);
    out.u32(internal::crc32(out.bytes().data(), out.size()));
    return std::move(out.bytes());
}

Model decode_model(const unsigned char* bytes, std::size_t size, const std::string& source) {
    const std::size_t signature = std::min(size, sizeof magic);
    // An empty file may come without any storage at all: compare nothing then.
    if (signature > 0 && std::memcmp(bytes, magic, signature) != 0) {
        throw std::runtime_error(source + " is not a pairmend model file: it does not begin with the model "
                                          "file signature.");
    }
    if (size < header_size + crc_size) {
        throw std::runtime_error(source + " is truncated: it holds only " + std::to_string(size) +
                                 " bytes, fewer than any model file.");
    }
    ByteReader header(bytes + sizeof magic, header_size - sizeof magic, source);
    const std::uint32_t version = header.u32();
    header.u32(); // flags, none defined yet
    const std::uint64_t length = header.u64();
    if (length > size) {
        throw std::runtime_error(source + " is truncated: it should hold " + std::to_string(length) +
                                 " bytes, but holds only " + std::to_string(size) + ".");
    }
    if (length < size || length < header_size + crc_size) {
        throw std::runtime_error(source + " is corrupt: it declares a length of " + std::to_string(length) +
                                 " bytes, but holds " + std::to_string(size) + ".");
    }
    ByteReader trailer(bytes + size - crc_size, crc_size, source);
    if (trailer.u32() != internal::crc32(bytes, size - crc_size)) {
        throw std::runtime_error(source + " is corrupt: its checksum does not match its contents.");
    }
    if (version == 0 || version > model_format_version) {
        throw std::runtime_error(
            source + " has model format version " + std::to_string(version) +
            ", but this pairmend reads versions 1 to " + std::to_string(model_format_version) +
            (version == 0 ? "." : "; it was written by a newer pairmend, which can read it."));
    }

    Model model;
    ByteReader body(bytes + header_size, size - header_size - crc_size, source);
    std::set<std::uint32_t> known_seen;
    // Per method, the batch corrections read, by batch position.
    std::vector<std::map<std::uint32_t, std::shared_ptr<const BatchCorrection>>> corrections(
        methods().size());
    while (body.remaining() > 0) {
        const std::uint32_t type = body.u32();
        const std::uint32_t flags = body.u32();
        ByteReader section = body.section(body.u64(), "section");
        const MethodInfo* method = method_of_section(type);
        const SectionReader read = model_section_reader(type);
        if (read != nullptr && !known_seen.insert(type).second) {
            throw std::runtime_error(source + " is corrupt: it holds section " + std::to_string(type) +
                                     " twice.");
        }
        const bool needs_batches = method != nullptr;
        const bool needs_parameters = needs_batches || type == reference_section;
        if (type == conditions_section && known_seen.count(reference_section) == 0) {
            throw std::runtime_error(source + " is corrupt: its sections are out of order.");
        }
        // The sections of any method but the default follow the section that names the method.
        const bool needs_method = method != nullptr && method != &methods().front();
        if ((needs_batches && known_seen.count(batches_section) == 0) ||
            (needs_parameters && known_seen.count(parameters_section) == 0) ||
            (needs_method && known_seen.count(method_section) == 0)) {
            throw std::runtime_error(source + " is corrupt: its sections are out of order.");
        }
        if (method != nullptr) {
            read_correction(section, *method, model,
                            corrections[static_cast<std::size_t>(method - methods().data())]);
            continue;
        }
        if (read != nullptr) {
            read(section, model);
        } else if ((flags & required_flag) != 0) {
            throw std::runtime_error(source + " holds a section of type " + std::to_string(type) +
                                     " that this pairmend cannot read; it needs a newer pairmend.");
        }
    }

    for (const SectionType type :
         {settings_section, parameters_section, batches_section, reference_section}) {
        if (known_seen.count(type) == 0) {
            throw std::runtime_error(source + " is corrupt: it lacks section " + std::to_string(type) + ".");
        }
    }
    std::size_t count = 0;
    bool mixed = false;
    for (std::size_t m = 0; m < corrections.size(); ++m) {
        count += corrections[m].size();
        mixed = mixed || (m != model.method.index() && !corrections[m].empty());
    }
    if (mixed || count + 1 != model.batches.size()) {
        throw std::runtime_error(
            source + " is corrupt: it holds corrections for " + std::to_string(count) + " of its " +
            std::to_string(model.batches.size() == 0 ? 0 : model.batches.size() - 1) + " corrected batches.");
    }
    for (auto& [position, correction] : corrections[model.method.index()]) {
        model.batches[position].correction = std::move(correction);
    }
    check_model(model, source);
    check_finite(model.reference, source, "reference rows");
    for (const BatchModel& batch : model.batches) {
        if (batch.correction) {
            batch.correction->check_values(source);
        }
    }
    return model;
}

void save_model(const Model& model, const std::string& path) {
    const std::vector<unsigned char> bytes = encode_model(model);
    // Complete under a temporary name before it takes its own, so that a failure never leaves a
    // cut-short model file, and an older one stays as it was.
    OutputTransaction file;
    {
        std::ofstream out(file.add(path), std::ios::binary | std::ios::trunc);
        // In blocks of 1 MiB: Linux copies one write of tens of megabytes into the page cache
        // many times slower than the same bytes in blocks.
        constexpr std::size_t block = std::size_t{1} << 20;
        for (std::size_t start = 0; out && start < bytes.size(); start += block) {
            out.write(reinterpret_cast<const char*>(bytes.data() + start),
                      static_cast<std::streamsize>(std::min(block, bytes.size() - start)));
        }
        if (out) {
            out.close();
        }
        if (!out) {
            throw std::runtime_error("Could not write the model file " + path + ": " + system_error_text() +
                                     ".");
        }
    }
    try {
        file.commit();
    } catch (const std::runtime_error& error) {
        throw std::runtime_error("Could not write the model file " + path + ": " + error.what());
    }
}

Model load_model(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("Could not read the model file " + path + ": " + system_error_text() + ".");
    }
    // One read of the whole file, of the size the file system gives (which also refuses a folder).
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        throw std::runtime_error("Could not read the model file " + path + ": " + error.message() + ".");
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        throw std::runtime_error("Could not read the model file " + path + ": " + system_error_text() + ".");
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return decode_model(bytes.data(), bytes.size(), "The model file " + path);
}

} // namespace pairmend::model
