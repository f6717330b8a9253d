// pairmend-fcs fit, apply, extend and correct --fit-events on simulated studies of FCS files, and
// the composing of a corrected file.

#include "fcs_study_writer.hpp"
#include "fcs_tool.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/compose_output.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/study_models.hpp"
#include "pairmend/fcs_study/transforms.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"
#include "study.hpp"

#include "cli_harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pairmend_test::TempDir;
using ::testing::HasSubstr;

struct ToolResult {
    int status;
    std::string err;
};

ToolResult run_tool(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = pairmend::fcs_tool::run_fcs_tool(args, out, err);
    return {status, err.str()};
}

// A study of one sample and one anchor file per batch.
pairmend::tools::StudyOptions study_options(std::int64_t events_per_file, int dims, int batches,
                                            std::uint64_t seed) {
    pairmend::tools::StudyOptions options;
    options.files_per_batch = 1;
    options.events_per_file = events_per_file;
    options.dims = dims;
    options.batches = batches;
    options.seed = seed;
    return options;
}

// A small study: 3 batches, one sample and one anchor file each, 1,500 events of 6 markers.
struct SmallStudy {
    TempDir dir;
    pairmend::tools::WrittenStudy written;
    std::string folder = dir.file("study");

    SmallStudy() { written = pairmend::tools::write_fcs_study(study_options(1500, 6, 3, 7), folder); }

    std::vector<std::string> files(const std::string& part = "") const {
        std::vector<std::string> chosen;
        for (const std::string& file : written.files) {
            if (fs::path(file).filename().string().find(part) != std::string::npos) {
                chosen.push_back(file);
            }
        }
        return chosen;
    }
};

std::vector<std::string> command(std::vector<std::string> args, const std::vector<std::string>& files) {
    args.insert(args.end(), files.begin(), files.end());
    return args;
}

// The stored values of every corrected file in a folder, by file name.
std::map<std::string, std::vector<double>> corrected_values(const std::string& folder) {
    std::map<std::string, std::vector<double>> values;
    for (const auto& entry : fs::directory_iterator(folder)) {
        values[entry.path().filename().string()] = pairmend::fcs::read_fcs(entry.path().string()).raw;
    }
    return values;
}

std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

} // namespace

TEST(FcsModels, FittedOnEveryEventApplyEqualsCorrectBitForBit) {
    const SmallStudy study;
    for (const std::string search : {"", "--approximate"}) {
        const std::string tag = search.empty() ? "exact" : "approximate";
        std::vector<std::string> engine;
        if (!search.empty()) {
            engine.push_back(search);
        }
        const std::string model = study.dir.file(tag + ".pmm");
        std::vector<std::string> correct = {
            "correct",   "--out", study.dir.file(tag + "-full"), "--batches", study.written.batch_sheet,
            "--threads", "2"};
        correct.insert(correct.end(), engine.begin(), engine.end());
        ASSERT_EQ(run_tool(command(correct, study.files())).status, 0);

        std::vector<std::string> fit = {"fit", "--model", model, "--batches", study.written.batch_sheet};
        fit.insert(fit.end(), engine.begin(), engine.end());
        ASSERT_EQ(run_tool(command(fit, study.files())).status, 0);
        const ToolResult applied =
            run_tool(command({"apply", "--model", model, "--out", study.dir.file(tag + "-applied"),
                              "--batches", study.written.batch_sheet, "--threads", "1"},
                             study.files()));
        ASSERT_EQ(applied.status, 0) << applied.err;
        EXPECT_EQ(corrected_values(study.dir.file(tag + "-applied")),
                  corrected_values(study.dir.file(tag + "-full")))
            << tag;
    }
}

TEST(FcsModels, SubsampleFitIsDeterministicAndEqualsFitThenApply) {
    const SmallStudy study;
    const auto correct = [&](const std::string& out) {
        return run_tool(command({"correct", "--fit-events", "400", "--out", study.dir.file(out), "--batches",
                                 study.written.batch_sheet, "--report", study.dir.file(out + ".html")},
                                study.files()));
    };
    ASSERT_EQ(correct("first").status, 0);
    ASSERT_EQ(correct("second").status, 0);
    EXPECT_EQ(corrected_values(study.dir.file("first")), corrected_values(study.dir.file("second")));
    EXPECT_TRUE(fs::exists(study.dir.file("first.json")));

    ASSERT_EQ(run_tool(command({"fit", "--fit-events", "400", "--model", study.dir.file("sub.pmm"),
                                "--batches", study.written.batch_sheet},
                               study.files()))
                  .status,
              0);
    const pairmend::model::Model model = pairmend::model::load_model(study.dir.file("sub.pmm"));
    for (const pairmend::model::BatchModel& batch : model.batches) {
        EXPECT_EQ(batch.fitted_events, 400u) << batch.name;
    }
    ASSERT_TRUE(model.fcs.has_value());
    EXPECT_EQ(model.fcs->cofactor, 5.0);
    EXPECT_EQ(model.fcs->channels.size(), 6u);
    ASSERT_EQ(run_tool(command({"apply", "--model", study.dir.file("sub.pmm"), "--out",
                                study.dir.file("applied"), "--batches", study.written.batch_sheet},
                               study.files()))
                  .status,
              0);
    EXPECT_EQ(corrected_values(study.dir.file("applied")), corrected_values(study.dir.file("first")));
}

TEST(FcsModels, AnchorModelsAndExtendKeepEarlierBatchesUnchanged) {
    const SmallStudy study;
    const std::string sheet = study.written.batch_sheet;
    // Learnt from the anchors alone, with the study's sheet, and applied to every file.
    ASSERT_EQ(run_tool(command({"fit", "--model", study.dir.file("anchors.pmm"), "--batches", sheet},
                               study.files("anchor")))
                  .status,
              0);
    const ToolResult anchors = run_tool(command({"apply", "--model", study.dir.file("anchors.pmm"), "--out",
                                                 study.dir.file("anchored"), "--batches", sheet},
                                                study.files()));
    ASSERT_EQ(anchors.status, 0) << anchors.err;
    EXPECT_EQ(entries(study.dir.file("anchored")).size(), study.files().size());

    // Two batches, then the third added: the first two correct as before.
    std::vector<std::string> early = study.files("batch1_");
    for (const std::string& file : study.files("batch2_")) {
        early.push_back(file);
    }
    ASSERT_EQ(
        run_tool(command({"fit", "--model", study.dir.file("two.pmm"), "--batches", sheet}, early)).status,
        0);
    const ToolResult extended =
        run_tool(command({"extend", "--model", study.dir.file("two.pmm"), "--new-model",
                          study.dir.file("three.pmm"), "--batches", sheet},
                         study.files("batch3_")));
    ASSERT_EQ(extended.status, 0) << extended.err;
    ASSERT_EQ(run_tool(command({"apply", "--model", study.dir.file("two.pmm"), "--out",
                                study.dir.file("before"), "--batches", sheet},
                               early))
                  .status,
              0);
    ASSERT_EQ(run_tool(command({"apply", "--model", study.dir.file("three.pmm"), "--out",
                                study.dir.file("after"), "--batches", sheet},
                               study.files()))
                  .status,
              0);
    const auto before = corrected_values(study.dir.file("before"));
    const auto after = corrected_values(study.dir.file("after"));
    for (const auto& [name, values] : before) {
        EXPECT_EQ(after.at(name), values) << name;
    }
    EXPECT_EQ(after.size(), study.files().size());

    // A batch already in the model is not added again.
    EXPECT_THAT(run_tool(command({"extend", "--model", study.dir.file("three.pmm"), "--new-model",
                                  study.dir.file("four.pmm"), "--batches", sheet},
                                 study.files("batch3_")))
                    .err,
                HasSubstr("The batch batch3 is already in the model"));
    EXPECT_FALSE(fs::exists(study.dir.file("four.pmm")));
}

TEST(FcsModels, MismatchedBatchesAndChannelsLeaveTheOutputFolderUntouched) {
    const SmallStudy study;
    const std::string sheet = study.written.batch_sheet;
    std::vector<std::string> early = study.files("batch1_");
    for (const std::string& file : study.files("batch2_")) {
        early.push_back(file);
    }
    ASSERT_EQ(
        run_tool(command({"fit", "--model", study.dir.file("two.pmm"), "--batches", sheet}, early)).status,
        0);
    const std::string out = study.dir.file("out");
    fs::create_directory(out);
    pairmend_test::write_text(out + "/keep.txt", "kept");

    const ToolResult unknown = run_tool(command(
        {"apply", "--model", study.dir.file("two.pmm"), "--out", out, "--batches", sheet}, study.files()));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_THAT(unknown.err, HasSubstr("The batch batch3 is not in the model"));
    EXPECT_EQ(entries(out), std::set<std::string>{"keep.txt"});

    // A file without one of the model's channels, written last so that the others would come first.
    pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(early.back());
    pairmend::fcs::FcsOutput lacking;
    lacking.channels = {file.channels[0], file.channels[1], file.channels[2]};
    lacking.num_events = file.num_events;
    for (std::size_t e = 0; e < file.num_events; ++e) {
        for (std::size_t c = 0; c < 3; ++c) {
            lacking.values.push_back(static_cast<float>(file.raw[e * file.channels.size() + c]));
        }
    }
    const std::string odd = study.dir.file("batch2_odd.fcs");
    pairmend::fcs::write_fcs(odd, lacking);
    std::vector<std::string> with_odd = early;
    with_odd.push_back(odd);
    const ToolResult missing =
        run_tool(command({"apply", "--model", study.dir.file("two.pmm"), "--out", out}, with_odd));
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr("not in the model"));
    // With the batches named, the missing channel is what stops it.
    pairmend_test::write_text(study.dir.file("sheet.csv"),
                              "file,batch\nbatch1_sample1.fcs,batch1\n"
                              "batch1_anchor.fcs,batch1\nbatch2_sample1.fcs,batch2\n"
                              "batch2_anchor.fcs,batch2\nbatch2_odd.fcs,batch2\n");
    const ToolResult channel = run_tool(command({"apply", "--model", study.dir.file("two.pmm"), "--out", out,
                                                 "--batches", study.dir.file("sheet.csv")},
                                                with_odd));
    EXPECT_EQ(channel.status, 1);
    EXPECT_THAT(channel.err, HasSubstr(odd));
    EXPECT_EQ(entries(out), std::set<std::string>{"keep.txt"});
}

TEST(FcsModels, AModelWithoutChannelsNeedsTheCofactorAndMatchingNames) {
    const SmallStudy study;
    // A model learnt elsewhere (as from Python) on the markers' $PnS names, without FCS channels.
    std::vector<std::string> labels;
    std::vector<std::vector<double>> events(3);
    std::vector<pairmend::model::BatchEvents> batches;
    for (int b = 0; b < 3; ++b) {
        const pairmend::fcs::FcsFile file =
            pairmend::fcs::read_fcs(study.files("batch" + std::to_string(b + 1) + "_anchor").front());
        const std::vector<double> linear = file.linear_values();
        labels.clear();
        for (std::size_t c = 2; c < file.channels.size(); ++c) {
            labels.push_back(file.channels[c].label);
        }
        for (std::size_t e = 0; e < file.num_events; ++e) {
            for (std::size_t c = 2; c < file.channels.size(); ++c) {
                events[static_cast<std::size_t>(b)].push_back(
                    std::asinh(linear[e * file.channels.size() + c] / 5));
            }
        }
    }
    for (int b = 0; b < 3; ++b) {
        batches.push_back({"batch" + std::to_string(b + 1),
                           events[static_cast<std::size_t>(b)].size() / labels.size(),
                           events[static_cast<std::size_t>(b)].data()});
    }
    pairmend::model::FitOptions options;
    options.parameters = labels;
    pairmend::model::save_model(pairmend::model::fit(static_cast<int>(labels.size()), batches, options),
                                study.dir.file("python.pmm"));

    const std::vector<std::string> apply = {"apply",
                                            "--model",
                                            study.dir.file("python.pmm"),
                                            "--out",
                                            study.dir.file("out"),
                                            "--batches",
                                            study.written.batch_sheet};
    EXPECT_THAT(run_tool(command(apply, study.files())).err, HasSubstr("with --cofactor"));
    std::vector<std::string> with_cofactor = apply;
    with_cofactor.insert(with_cofactor.end(), {"--cofactor", "5"});
    const ToolResult applied = run_tool(command(with_cofactor, study.files()));
    EXPECT_EQ(applied.status, 0) << applied.err;
    EXPECT_EQ(entries(study.dir.file("out")).size(), study.files().size());
}

TEST(FcsModels, CommandLinesNameWhatIsMissing) {
    EXPECT_THAT(run_tool({"apply", "--out", "o", "a.fcs"}).err, HasSubstr("apply needs --model MODEL.pmm"));
    EXPECT_THAT(run_tool({"apply", "--model", "m.pmm", "a.fcs"}).err, HasSubstr("apply needs --out DIR"));
    EXPECT_THAT(run_tool({"extend", "--model", "m.pmm", "a.fcs"}).err, HasSubstr("extend needs --new-model"));
    EXPECT_THAT(run_tool({"fit", "--model", "m.pmm", "--out", "o", "a.fcs"}).err,
                HasSubstr("pairmend-fcs fit has no option --out."));
    EXPECT_THAT(run_tool({"apply", "--model", "m.pmm", "--out", "o", "--neighbors", "4", "a.fcs"}).err,
                HasSubstr("pairmend-fcs apply has no option --neighbors."));
    EXPECT_THAT(run_tool({"fit", "--model", "m.pmm"}).err,
                HasSubstr("fit needs the FCS files to learn from."));
    const TempDir dir;
    pairmend_test::write_text(dir.file("broken.pmm"), "PMM? not a model");
    EXPECT_THAT(run_tool({"apply", "--model", dir.file("broken.pmm"), "--out", dir.file("o"), "a.fcs"}).err,
                HasSubstr(dir.file("broken.pmm")));
    EXPECT_FALSE(fs::exists(dir.file("o")));
}

TEST(FcsModels, CurvesMethodRunsThroughCorrectFitApplyAndExtendAndIsNamed) {
    const SmallStudy study;
    const ToolResult corrected =
        run_tool(command({"correct", "--method", "curves", "--out", study.dir.file("curves"), "--batches",
                          study.written.batch_sheet, "--report", study.dir.file("curves.html")},
                         study.files()));
    ASSERT_EQ(corrected.status, 0) << corrected.err;
    EXPECT_THAT(corrected.err, HasSubstr("method curves"));
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(
        study.dir.file("curves") + "/" + fs::path(study.files().front()).filename().string());
    EXPECT_THAT(file.keyword("PAIRMEND_SETTINGS").value_or(""), HasSubstr(", method=curves"));
    std::ifstream report(study.dir.file("curves.json"));
    std::ostringstream json;
    json << report.rdbuf();
    EXPECT_THAT(json.str(), HasSubstr("\"curves\""));

    // The model learnt by fit corrects the files as correct did; the default method's files differ.
    ASSERT_EQ(run_tool(command({"fit", "--method", "curves", "--model", study.dir.file("curves.pmm"),
                                "--batches", study.written.batch_sheet},
                               study.files()))
                  .status,
              0);
    EXPECT_EQ(pairmend::model::load_model(study.dir.file("curves.pmm")).method,
              pairmend::model::parse_method("curves"));
    ASSERT_EQ(run_tool(command({"apply", "--model", study.dir.file("curves.pmm"), "--out",
                                study.dir.file("applied"), "--batches", study.written.batch_sheet,
                                "--threads", "2"},
                               study.files()))
                  .status,
              0);
    EXPECT_EQ(corrected_values(study.dir.file("applied")), corrected_values(study.dir.file("curves")));
    ASSERT_EQ(
        run_tool(command({"correct", "--out", study.dir.file("mnn"), "--batches", study.written.batch_sheet},
                         study.files()))
            .status,
        0);
    EXPECT_NE(corrected_values(study.dir.file("mnn")), corrected_values(study.dir.file("curves")));

    const ToolResult unknown = run_tool(
        command({"correct", "--method", "quantiles", "--out", study.dir.file("bad")}, study.files()));
    EXPECT_EQ(unknown.status, 2);
    EXPECT_THAT(unknown.err, HasSubstr("Unknown correction method \"quantiles\": the methods are \"mnn\" and "
                                       "\"curves\"."));
    EXPECT_FALSE(fs::exists(study.dir.file("bad")));
    EXPECT_EQ(run_tool(command({"apply", "--method", "curves", "--model", study.dir.file("curves.pmm"),
                                "--out", study.dir.file("bad")},
                               study.files()))
                  .status,
              2);
}

namespace {

// Writes `path` again with the channels `edit` makes of the file's channels and values.
void rewrite_panel(
    const std::string& path,
    const std::function<void(std::vector<pairmend::fcs::Channel>&, std::vector<float>&, std::size_t)>& edit) {
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
    pairmend::fcs::FcsOutput output;
    output.channels = file.channels;
    output.keywords = pairmend::fcs::descriptive_keywords(file);
    output.num_events = file.num_events;
    output.values.assign(file.raw.begin(), file.raw.end());
    edit(output.channels, output.values, file.num_events);
    pairmend::fcs::write_fcs(path, output);
}

// The values of the corrected channels (the last `ndim`) of every file in a folder, by file name.
std::map<std::string, std::vector<double>> corrected_channels(const std::string& folder, std::size_t ndim) {
    std::map<std::string, std::vector<double>> values;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(entry.path().string());
        const std::size_t width = file.channels.size();
        std::vector<double>& kept = values[entry.path().filename().string()];
        for (std::size_t e = 0; e < file.num_events; ++e) {
            kept.insert(kept.end(), file.raw.begin() + static_cast<std::ptrdiff_t>(e * width + width - ndim),
                        file.raw.begin() + static_cast<std::ptrdiff_t>((e + 1) * width));
        }
    }
    return values;
}

} // namespace

TEST(FcsPanels, ARenamedChannelAndAMarkerOfOneBatchCorrectTheSharedMarkersAsOnePanel) {
    const SmallStudy study;
    ASSERT_EQ(
        run_tool(command({"correct", "--out", study.dir.file("same"), "--batches", study.written.batch_sheet},
                         study.files()))
            .status,
        0);
    const pairmend::fcs::FcsFile first = pairmend::fcs::read_fcs(study.files().front());
    const pairmend::fcs::Channel renamed = first.channels.back();
    for (const std::string& path : study.files("batch2")) {
        rewrite_panel(path,
                      [&](std::vector<pairmend::fcs::Channel>& channels, std::vector<float>&, std::size_t) {
                          channels.back().name = "Renamed_" + renamed.name;
                          channels.back().label = renamed.label + "_new";
                      });
    }
    for (const std::string& path : study.files("batch1")) {
        // A marker only batch 1 holds, in front of the others.
        rewrite_panel(path, [](std::vector<pairmend::fcs::Channel>& channels, std::vector<float>& values,
                               std::size_t events) {
            pairmend::fcs::Channel extra = channels.back();
            extra.name = "Lu175Di";
            extra.label = "CD57";
            const std::size_t width = channels.size();
            std::vector<float> wider;
            for (std::size_t e = 0; e < events; ++e) {
                wider.push_back(values[e * width + width - 1] * 2);
                wider.insert(wider.end(), values.begin() + static_cast<std::ptrdiff_t>(e * width),
                             values.begin() + static_cast<std::ptrdiff_t>((e + 1) * width));
            }
            channels.insert(channels.begin(), extra);
            values = std::move(wider);
        });
    }

    // Without a common name the renamed marker is not every file's, so it is left out everywhere.
    const ToolResult unmapped = run_tool(
        command({"correct", "--out", study.dir.file("unmapped"), "--batches", study.written.batch_sheet},
                study.files()));
    ASSERT_EQ(unmapped.status, 0) << unmapped.err;
    EXPECT_THAT(unmapped.err,
                HasSubstr("keeps 2 channels unchanged that not every file holds: CD57 (Lu175Di), " +
                          renamed.label + " (" + renamed.name + ")"));

    const std::string sheet = study.dir.file("names.csv");
    std::ofstream(sheet) << "name,channel\n"
                         << renamed.label << "," << renamed.name << "\n"
                         << renamed.label << "," << renamed.label << "_new\n";
    const ToolResult mapped = run_tool(command({"correct", "--out", study.dir.file("mapped"), "--batches",
                                                study.written.batch_sheet, "--channel-names", sheet},
                                               study.files()));
    ASSERT_EQ(mapped.status, 0) << mapped.err;
    EXPECT_THAT(mapped.err, HasSubstr("keeps 1 channel unchanged that not every file holds: CD57 (Lu175Di)"));
    const std::size_t ndim = 6;
    EXPECT_EQ(corrected_channels(study.dir.file("mapped"), ndim),
              corrected_channels(study.dir.file("same"), ndim));

    // A model learnt with the sheet applies to the renamed files with it, and refuses them without.
    const std::string model = study.dir.file("panel.pmm");
    ASSERT_EQ(run_tool(command({"fit", "--model", model, "--batches", study.written.batch_sheet,
                                "--channel-names", sheet},
                               study.files()))
                  .status,
              0);
    const ToolResult applied =
        run_tool(command({"apply", "--model", model, "--out", study.dir.file("applied"), "--batches",
                          study.written.batch_sheet, "--channel-names", sheet},
                         study.files("batch2")));
    ASSERT_EQ(applied.status, 0) << applied.err;
    const ToolResult refused =
        run_tool(command({"apply", "--model", model, "--out", study.dir.file("refused"), "--batches",
                          study.written.batch_sheet},
                         study.files("batch2")));
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("has no channel named \"" + renamed.name + "\""));

    std::ofstream(sheet) << "name,channel\nA,x\nB,x\n";
    const ToolResult twice = run_tool(
        command({"correct", "--out", study.dir.file("twice"), "--channel-names", sheet}, study.files()));
    EXPECT_THAT(twice.err, HasSubstr("Lines 2 and 3 of the channel-name sheet " + sheet +
                                     " give the channel \"x\" two names, \"A\" and \"B\"."));
}

namespace {

// The bytes of every file in a folder, by file name.
std::map<std::string, std::string> file_bytes(const std::string& folder) {
    std::map<std::string, std::string> bytes;
    for (const auto& entry : fs::directory_iterator(folder)) {
        bytes[entry.path().filename().string()] = pairmend_test::read_text(entry.path().string());
    }
    return bytes;
}

// A transforms file giving every marker of the files `transform`, by its label.
std::string transforms_for_every_marker(const std::string& path, const std::string& first_file,
                                        const std::string& transform) {
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(first_file);
    std::ofstream out(path);
    out << "channel,transform,parameters\n";
    for (const std::size_t i : pairmend::fcs_study::default_channels(file)) {
        out << (file.channels[i].label.empty() ? file.channels[i].name : file.channels[i].label) << ","
            << transform << "\n";
    }
    return path;
}

std::string keyword(const pairmend::fcs::FcsFile& file, const std::string& name) {
    for (const auto& [key, value] : file.keywords) {
        if (key == name) {
            return value;
        }
    }
    return "(none)";
}

} // namespace

TEST(FcsTransforms, ArcsinhForEveryChannelIsTheCofactorByteForByte) {
    const SmallStudy study;
    const std::string sheet =
        transforms_for_every_marker(study.dir.file("t.csv"), study.files().front(), "arcsinh,5");
    for (const std::vector<std::string>& how :
         {std::vector<std::string>{"--cofactor", "5"}, std::vector<std::string>{"--transforms", sheet}}) {
        const std::string tag = how.front().substr(2);
        std::vector<std::string> correct = {"correct", "--out", study.dir.file(tag), "--batches",
                                            study.written.batch_sheet};
        correct.insert(correct.end(), how.begin(), how.end());
        ASSERT_EQ(run_tool(command(correct, study.files())).status, 0) << tag;
        std::vector<std::string> fit = {
            "fit",          "--model", study.dir.file(tag + ".pmm"), "--batches", study.written.batch_sheet,
            "--fit-events", "500"};
        fit.insert(fit.end(), how.begin(), how.end());
        ASSERT_EQ(run_tool(command(fit, study.files())).status, 0) << tag;
    }
    EXPECT_EQ(file_bytes(study.dir.file("transforms")), file_bytes(study.dir.file("cofactor")));
    EXPECT_EQ(pairmend_test::read_text(study.dir.file("transforms.pmm")),
              pairmend_test::read_text(study.dir.file("cofactor.pmm")));
}

TEST(FcsTransforms, FlowFilesWithArcsinh500ForEveryChannelEqualTheCofactor500) {
    const std::string flow = std::string(PAIRMEND_SHARED_DATA) + "/fcs/flow_cytometry";
    if (!fs::exists(flow)) {
        GTEST_SKIP() << "no " << flow;
    }
    // The mock-infected mice of both batches, learnt from a subsample to keep the test short;
    // every event is transformed and written back.
    const TempDir dir;
    std::vector<std::string> files;
    std::ofstream sheet(dir.file("batches.csv"));
    sheet << "file,batch\n";
    for (const auto& entry : fs::directory_iterator(flow)) {
        const std::string name = entry.path().stem().string();
        if (name.rfind("Mock_", 0) == 0) {
            files.push_back(entry.path().string());
            sheet << entry.path().filename().string() << "," << name.substr(name.size() - 1) << "\n";
        }
    }
    sheet.close();
    std::sort(files.begin(), files.end());
    const std::string transforms =
        transforms_for_every_marker(dir.file("t.csv"), files.front(), "arcsinh,500");
    for (const std::vector<std::string>& how : {std::vector<std::string>{"--cofactor", "500"},
                                                std::vector<std::string>{"--transforms", transforms}}) {
        std::vector<std::string> correct = {
            "correct",      "--out", dir.file(how.front().substr(2)), "--batches", dir.file("batches.csv"),
            "--fit-events", "3000"};
        correct.insert(correct.end(), how.begin(), how.end());
        ASSERT_EQ(run_tool(command(correct, files)).status, 0);
    }
    EXPECT_EQ(file_bytes(dir.file("transforms")), file_bytes(dir.file("cofactor")));
}

TEST(FcsTransforms, AModelKeepsItsTransformsAndRefusesOthers) {
    const SmallStudy study;
    const pairmend::fcs::FcsFile first = pairmend::fcs::read_fcs(study.files().front());
    const std::vector<std::size_t> markers = pairmend::fcs_study::default_channels(first);
    const std::string sheet = study.dir.file("t.csv");
    // A logicle with T from $PnR, one by $PnN with its own W, a channel already transformed, and
    // the rest arcsinh with the cofactor.
    std::ofstream(sheet) << "channel,transform,parameters\n"
                         << first.channels[markers[0]].label << ",logicle,\n"
                         << first.channels[markers[1]].name << ",logicle,100000 1\n"
                         << first.channels[markers[2]].label << ",arcsinh,20\n";
    const std::string model = study.dir.file("m.pmm");
    const std::vector<std::string> common = {
        "--batches", study.written.batch_sheet, "--cofactor", "5", "--transforms", sheet};
    std::vector<std::string> correct = {"correct", "--out", study.dir.file("full")};
    correct.insert(correct.end(), common.begin(), common.end());
    ASSERT_EQ(run_tool(command(correct, study.files())).status, 0);
    std::vector<std::string> fit = {"fit", "--model", model};
    fit.insert(fit.end(), common.begin(), common.end());
    ASSERT_EQ(run_tool(command(fit, study.files())).status, 0);

    const pairmend::model::Model loaded = pairmend::model::load_model(model);
    ASSERT_EQ(loaded.fcs->transforms.size(), markers.size());
    EXPECT_EQ(pairmend::model::transform_text(loaded.fcs->transforms[0]),
              "logicle " + first.channels[markers[0]].range_text + " 0.5 4.5 0");
    EXPECT_EQ(pairmend::model::transform_text(loaded.fcs->transforms[1]), "logicle 100000 1 4.5 0");
    EXPECT_EQ(pairmend::model::transform_text(loaded.fcs->transforms[3]), "arcsinh 5");

    // apply without --transforms uses the model's: the values of correct, bit for bit.
    const ToolResult applied =
        run_tool(command({"apply", "--model", model, "--out", study.dir.file("applied"), "--batches",
                          study.written.batch_sheet},
                         study.files()));
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_EQ(corrected_values(study.dir.file("applied")), corrected_values(study.dir.file("full")));
    const pairmend::fcs::FcsFile written = pairmend::fcs::read_fcs(
        study.dir.file("applied") + "/" + fs::path(study.files().front()).filename().string());
    EXPECT_EQ(keyword(written, "PAIRMEND_TRANSFORMS"),
              "logicle " + first.channels[markers[0]].range_text +
                  " 0.5 4.5 0; logicle 100000 1 4.5 0; arcsinh 20; " + "arcsinh 5; arcsinh 5; arcsinh 5");

    // Transforms that differ are refused, naming the channel, before anything is written.
    const std::string other = study.dir.file("other.csv");
    std::ofstream(other) << "channel,transform,parameters\n"
                         << first.channels[markers[2]].label << ",arcsinh,25\n";
    const ToolResult refused =
        run_tool(command({"apply", "--model", model, "--out", study.dir.file("refused"), "--batches",
                          study.written.batch_sheet, "--transforms", other},
                         study.files()));
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err,
                HasSubstr("was learnt with " +
                          pairmend::fcs_study::channel_display_name(first.channels[markers[2]]) +
                          " as arcsinh 20, not arcsinh 25 as the transforms file " + other + " gives"));
    EXPECT_FALSE(fs::exists(study.dir.file("refused")));
    const ToolResult cofactor =
        run_tool(command({"apply", "--model", model, "--out", study.dir.file("refused"), "--batches",
                          study.written.batch_sheet, "--cofactor", "5"},
                         study.files()));
    EXPECT_THAT(cofactor.err, HasSubstr("was learnt with a transform per channel"));

    // extend takes the model's transforms, and the extended model keeps them.
    std::vector<std::string> fit_two = {"fit", "--model", study.dir.file("two.pmm")};
    fit_two.insert(fit_two.end(), common.begin(), common.end());
    std::vector<std::string> first_two = study.files("batch1");
    const std::vector<std::string> second = study.files("batch2");
    first_two.insert(first_two.end(), second.begin(), second.end());
    ASSERT_EQ(run_tool(command(fit_two, first_two)).status, 0);
    const ToolResult extended =
        run_tool(command({"extend", "--model", study.dir.file("two.pmm"), "--new-model",
                          study.dir.file("three.pmm"), "--batches", study.written.batch_sheet},
                         study.files("batch3")));
    ASSERT_EQ(extended.status, 0) << extended.err;
    EXPECT_EQ(pairmend::model::load_model(study.dir.file("three.pmm")).fcs->transforms,
              loaded.fcs->transforms);
}

TEST(FcsPanels, ASimulatedRenameWithAChannelMapCorrectsAsTheSamePanel) {
    const TempDir dir;
    pairmend::tools::StudyOptions options;
    options.events_per_file = 1000;
    options.dims = 5;
    options.files_per_batch = 1;
    options.spillover = true;
    const auto same = pairmend::tools::write_fcs_study(options, dir.file("same"));
    options.renames = {{2, "CD45RA", "CD45RA_BV605"}, {3, "FL2-A", "FL2-H"}};
    const auto renamed = pairmend::tools::write_fcs_study(options, dir.file("renamed"));
    const pairmend::fcs::FcsFile third = pairmend::fcs::read_fcs(renamed.files.back());
    EXPECT_EQ(third.channels[2].name, "FL2-H");
    EXPECT_THAT(keyword(third, "$SPILLOVER"), HasSubstr(",FL1-A,FL2-H,FL3-A,"));

    const std::string map = dir.file("names.csv");
    std::ofstream(map) << "name,channel\nCD45RA,CD45RA\nCD45RA,CD45RA_BV605\nFL2-A,FL2-H\n";
    ASSERT_EQ(run_tool(command({"correct", "--out", dir.file("out-same"), "--cofactor", "150", "--batches",
                                same.batch_sheet},
                               same.files))
                  .status,
              0);
    const ToolResult mapped =
        run_tool(command({"correct", "--out", dir.file("out-renamed"), "--cofactor", "150", "--batches",
                          renamed.batch_sheet, "--channel-names", map},
                         renamed.files));
    ASSERT_EQ(mapped.status, 0) << mapped.err;
    EXPECT_EQ(corrected_channels(dir.file("out-renamed"), 5), corrected_channels(dir.file("out-same"), 5));

    options.renames = {{4, "CD3", "X"}};
    EXPECT_THROW(pairmend::tools::write_fcs_study(options, dir.file("bad")), std::invalid_argument);
    options.renames = {{2, "CD99", "X"}};
    EXPECT_THROW(pairmend::tools::write_fcs_study(options, dir.file("bad")), std::invalid_argument);
}

// A file of more events than one block is corrected and written a block at a time, with the values
// of the whole file corrected at once; the Python binding's entry writes the same bytes.
TEST(FcsModels, AFileOfSeveralBlocksIsWrittenAsTheWholeFileAtOnce) {
    TempDir dir;
    const pairmend::tools::WrittenStudy written =
        pairmend::tools::write_fcs_study(study_options(26000, 40, 2, 5), dir.file("study"));
    const std::string model_path = dir.file("m.pmm");
    ASSERT_EQ(run_tool(command({"fit", "--model", model_path, "--batches", written.batch_sheet,
                                "--fit-events", "300"},
                               written.files))
                  .status,
              0);
    const std::string second = written.files.back();
    const ToolResult applied = run_tool(command({"apply", "--model", model_path, "--out", dir.file("out"),
                                                 "--batches", written.batch_sheet, "--threads", "2"},
                                                {second}));
    ASSERT_EQ(applied.status, 0) << applied.err;

    const pairmend::model::Model model = pairmend::model::load_model(model_path);
    pairmend::fcs_study::StudyFiles request;
    request.files = {second};
    request.batch_sheet = written.batch_sheet;
    const pairmend::fcs_study::BatchPlan plan =
        pairmend::fcs_study::plan_batches(request, pairmend::fcs_study::StudyUse::model);
    const auto [file, linear] = pairmend::fcs_study::read_linear(second);
    ASSERT_GT(file.num_events, pairmend::fcs_study::events_per_file_block(file.channels.size()));
    const pairmend::model::BatchCorrector corrector(
        model, plan.names[static_cast<std::size_t>(plan.file_batch.front() - 1)]);
    const std::string out_file = (fs::path(dir.file("out")) / fs::path(second).filename()).string();

    // The entry of the Python binding, with the batch's corrector built by the caller: the same bytes.
    EXPECT_EQ(pairmend::fcs_study::correct_file_with_model(model, corrector, second, plan.file_batch.front(),
                                                           dir.file("binding.fcs"), 2, model_path),
              file.num_events);
    EXPECT_EQ(pairmend_test::read_text(out_file), pairmend_test::read_text(dir.file("binding.fcs")));

    // The whole file corrected and composed at once: the same values.
    const std::vector<std::size_t> chosen =
        pairmend::fcs_study::choose_channels(pairmend::fcs_study::model_channel_names(model), {file})
            .chosen.front();
    std::vector<double> events(file.num_events * chosen.size());
    pairmend::fcs_study::transform_events(
        file, linear.data(), chosen,
        pairmend::fcs_study::prepared(pairmend::fcs_study::model_transforms(model, model.fcs->cofactor)), 0,
        file.num_events, events.data());
    std::vector<double> corrected(events.size());
    corrector.apply(static_cast<int>(chosen.size()), file.num_events, events.data(), corrected.data(), 1);
    const pairmend::fcs_study::CorrectionStamp stamp{
        model.fcs->cofactor, plan.file_batch.front(), corrector.name(), "", "", {}};
    const pairmend::fcs::FcsOutput whole =
        pairmend::fcs_study::compose_corrected_file(file, linear, chosen, corrected.data(), stamp, 1);
    const pairmend::fcs::FcsFile in_blocks = pairmend::fcs::read_fcs(out_file);
    ASSERT_EQ(in_blocks.raw.size(), whole.values.size());
    EXPECT_TRUE(std::equal(whole.values.begin(), whole.values.end(), in_blocks.raw.begin()));
}

// A corrected file composed on several threads: the same values, and the first bad event named.
TEST(FcsComposeOutput, ThreadsGiveTheSameValuesAndNameTheFirstBadEvent) {
    TempDir dir;
    // 9,000 events: three blocks of conversion.
    const pairmend::tools::WrittenStudy written =
        pairmend::tools::write_fcs_study(study_options(9000, 2, 2, 3), dir.file("study"));
    const auto [file, linear] = pairmend::fcs_study::read_linear(written.files.front());
    const std::vector<std::size_t> chosen{file.channels.size() - 1};
    std::vector<double> corrected(file.num_events);
    for (std::size_t e = 0; e < corrected.size(); ++e) {
        corrected[e] = 0.001 * static_cast<double>(e % 700);
    }
    const pairmend::fcs_study::CorrectionStamp stamp{5, 1, "batch1", "k=15", "", {}};
    const auto one =
        pairmend::fcs_study::compose_corrected_file(file, linear, chosen, corrected.data(), stamp, 1);
    const auto two =
        pairmend::fcs_study::compose_corrected_file(file, linear, chosen, corrected.data(), stamp, 2);
    EXPECT_EQ(one.values, two.values);

    corrected[8500] = 1000; // sinh overflows in the last block and in the second
    corrected[5000] = 1000;
    try {
        pairmend::fcs_study::compose_corrected_file(file, linear, chosen, corrected.data(), stamp, 2);
        ADD_FAILURE() << "an infinite corrected value was written";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("The corrected value of event 5001 of "));
    }
}
