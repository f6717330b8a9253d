// Compensation: the spillover matrix of each keyword form ($SPILLOVER, SPILL, $SPILL, $DFCiTOj),
// channel names that need the delimiter doubled, keywords set aside, matrix files, the study's
// all-or-none choice, corrected files and models, and `export --compensated` on real files checked
// against an event-by-event solution of the spillover equations.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs/spillover.hpp"
#include "pairmend/fcs_study/compensation.hpp"
#include "pairmend/fcs_study/correct_study.hpp"
#include "pairmend/fcs_study/info_export.hpp"
#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study_models.hpp"
#include "pairmend/model/model_file.hpp"

#include "cli_harness.hpp"
#include "fcs_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using fcs_test::FcsBuilder;
using pairmend::fcs::SpilloverMatrix;
using pairmend_test::TempDir;
using ::testing::HasSubstr;

// Three fluorescence channels whose names need the '/' delimiter doubled or hold blanks, and a
// scatter channel the matrix leaves alone.
const std::vector<std::string> dyes = {"FL1/FITC", "PE Texas-Red", "APC-A"};
const std::vector<double> spill = {1, 0.2, 0.05, 0.1, 1, 0.3, 0, 0.02, 1};

// x solves x * S = m: the transposed system S^T x = m by Gaussian elimination, written apart from
// the library's inversion so that it checks it.
std::vector<double> solve_spill(const std::vector<double>& s, std::vector<double> m) {
    const std::size_t n = m.size();
    std::vector<double> a(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            a[i * n + j] = s[j * n + i];
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t r = k + 1; r < n; ++r) {
            p = std::fabs(a[r * n + k]) > std::fabs(a[p * n + k]) ? r : p;
        }
        for (std::size_t j = 0; j < n; ++j) {
            std::swap(a[k * n + j], a[p * n + j]);
        }
        std::swap(m[k], m[p]);
        for (std::size_t r = k + 1; r < n; ++r) {
            const double f = a[r * n + k] / a[k * n + k];
            for (std::size_t j = k; j < n; ++j) {
                a[r * n + j] -= f * a[k * n + j];
            }
            m[r] -= f * m[k];
        }
    }
    std::vector<double> x(n);
    for (std::size_t k = n; k-- > 0;) {
        double sum = m[k];
        for (std::size_t j = k + 1; j < n; ++j) {
            sum -= a[k * n + j] * x[j];
        }
        x[k] = sum / a[k * n + k];
    }
    return x;
}

// The spillover keyword value "3,FL1/FITC,...,1,0.2,..." of a matrix.
std::string listed(const std::vector<std::string>& names, const std::vector<double>& values) {
    std::string text = std::to_string(names.size());
    for (const std::string& name : names) {
        text += "," + name;
    }
    for (const double value : values) {
        std::ostringstream number;
        number << value;
        text += "," + number.str();
    }
    return text;
}

// `events` events of FSC-A and the three dyes; `shift` moves the dyes' populations (a batch effect).
FcsBuilder dye_file(std::size_t events, double shift, const std::string& version,
                    const std::vector<std::pair<std::string, std::string>>& keywords) {
    FcsBuilder builder;
    builder.version = version;
    builder.channels = {{"FSC-A", "", "262144", 32, "0,0"}};
    for (const std::string& name : dyes) {
        builder.channels.push_back({name, name + " label", "262144", 32, "0,0"});
    }
    builder.keywords = keywords;
    builder.keywords.emplace_back("$CYT", "LSRFortessa");
    for (std::size_t e = 0; e < events; ++e) {
        const double high = e % 2 == 0 ? 1.0 : 4.0;
        builder.events.push_back({static_cast<double>(1000 + e), std::sinh(high + shift) * 150,
                                  std::sinh(5 - high + shift + 0.01 * static_cast<double>(e % 7)) * 150,
                                  std::sinh(2 + 0.02 * static_cast<double>(e % 5)) * 150});
    }
    return builder;
}

std::string write_file(const TempDir& dir, const std::string& name, const FcsBuilder& builder) {
    const std::string path = dir.file(name);
    pairmend_test::write_text(path, builder.build());
    return path;
}

TEST(FcsSpillover, EveryKeywordFormGivesTheMatrixAndCompensationSolvesIt) {
    std::vector<std::pair<std::string, std::string>> dfc;
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            if (i != j && spill[i * 3 + j] != 0) {
                std::ostringstream percent;
                percent << spill[i * 3 + j] * 100;
                dfc.emplace_back("$DFC" + std::to_string(i + 2) + "TO" + std::to_string(j + 2),
                                 percent.str());
            }
        }
    }
    const struct {
        std::string version, keyword;
        std::vector<std::pair<std::string, std::string>> keywords;
    } forms[] = {{"FCS3.1", "$SPILLOVER", {{"$SPILLOVER", listed(dyes, spill)}}},
                 {"FCS3.0", "SPILL", {{"SPILL", listed(dyes, spill)}}},
                 {"FCS3.0", "$SPILL", {{"$spill", listed(dyes, spill)}}},
                 {"FCS2.0", "$DFCiTOj", dfc}};
    for (const auto& form : forms) {
        const pairmend::fcs::FcsFile file =
            pairmend::fcs::parse_fcs(dye_file(6, 0, form.version, form.keywords).build(), "d.fcs");
        const pairmend::fcs::FileSpillover found = pairmend::fcs::file_spillover(file);
        ASSERT_TRUE(found.matrix) << form.keyword;
        EXPECT_TRUE(found.notes.empty()) << form.keyword;
        EXPECT_EQ(found.matrix->source, form.keyword);
        EXPECT_EQ(found.matrix->channels, dyes) << form.keyword;
        for (std::size_t k = 0; k < spill.size(); ++k) {
            EXPECT_NEAR(found.matrix->values[k], spill[k], 1e-15) << form.keyword << " entry " << k;
        }

        const pairmend::fcs::Compensator compensator(*found.matrix, file);
        EXPECT_EQ(compensator.positions(), (std::vector<std::size_t>{1, 2, 3}));
        std::vector<double> values = file.linear_values();
        compensator.apply(file, values);
        for (std::size_t e = 0; e < file.num_events; ++e) {
            const std::vector<double> measured(file.raw.begin() + static_cast<std::ptrdiff_t>(e * 4 + 1),
                                               file.raw.begin() + static_cast<std::ptrdiff_t>(e * 4 + 4));
            const std::vector<double> expected = solve_spill(found.matrix->values, measured);
            EXPECT_EQ(values[e * 4], file.raw[e * 4]) << "the scatter channel stays as measured";
            for (std::size_t j = 0; j < 3; ++j) {
                EXPECT_NEAR(values[e * 4 + 1 + j], expected[j], 1e-12 * std::fabs(expected[j]) + 1e-9);
            }
        }
    }
}

TEST(FcsSpillover, UnusableKeywordsAreSetAsideWithOneSentence) {
    const std::string aside = "The $SPILLOVER keyword was set aside because ";
    const struct {
        std::vector<std::pair<std::string, std::string>> keywords;
        std::string note;
    } cases[] = {
        // As one MACSQuant version writes it: the channels but no values.
        {{{"$SPILLOVER", "3,FL1/FITC,PE Texas-Red,APC-A"}},
         aside + "it names 3 channels but gives none of the 9 values of their matrix."},
        {{{"$SPILLOVER", "3,FL1/FITC,PE Texas-Red,APC-A,1,0,0,0,1,0,0,0"}},
         aside + "it names 3 channels but gives 8 of the 9 values of their matrix."},
        {{{"$SPILLOVER", "2,FL1/FITC"}},
         aside + "it gives 2 as its channel count but names only 1 channels."},
        {{{"$SPILLOVER", "two,FL1/FITC,APC-A,1,0,0,1"}},
         aside + "its channel count \"two\" is not a whole number from 1 to 10000."},
        {{{"$SPILLOVER", "2,FL1/FITC,APC-A,1,x,0,1"}},
         aside + "its value \"x\" (row 1, column 2) is not a number."},
        {{{"$SPILLOVER", "2,FL1/FITC,FL9-A,1,0,0,1"}},
         aside + "it names the channel FL9-A, which the file does not have."},
        {{{"$SPILLOVER", "2,APC-A,APC-A,1,0,0,1"}}, aside + "it names the channel APC-A twice."},
        {{{"$SPILLOVER", "2,FL1/FITC,APC-A,1,0.5,2,1"}},
         aside + "its matrix is singular (it has no inverse, so the spill cannot be undone)."},
        {{{"$DFC2TO9", "10"}},
         "The $DFCiTOj keywords were set aside because the keyword $DFC2TO9 names a channel number beyond "
         "the file's 4 channels."},
        {{{"$DFC2TO3", "ten"}},
         "The $DFCiTOj keywords were set aside because the value \"ten\" of $DFC2TO3 is not a number."},
    };
    for (const auto& item : cases) {
        const pairmend::fcs::FcsFile file =
            pairmend::fcs::parse_fcs(dye_file(2, 0, "FCS3.1", item.keywords).build(), "d.fcs");
        const pairmend::fcs::FileSpillover found = pairmend::fcs::file_spillover(file);
        EXPECT_FALSE(found.matrix) << item.note;
        EXPECT_THAT(found.notes, ::testing::ElementsAre(item.note));
    }
    // An unusable $SPILLOVER gives way to a usable SPILL, and says so.
    const pairmend::fcs::FcsFile both = pairmend::fcs::parse_fcs(
        dye_file(2, 0, "FCS3.1", {{"$SPILLOVER", "1,FL9-A,1"}, {"SPILL", "1,APC-A,1"}}).build(), "d.fcs");
    const pairmend::fcs::FileSpillover found = pairmend::fcs::file_spillover(both);
    ASSERT_TRUE(found.matrix);
    EXPECT_EQ(found.matrix->source, "SPILL");
    EXPECT_EQ(found.notes.size(), 1u);
}

TEST(FcsSpillover, MatrixFilesAreReadAsAnalysisProgramsExportThemOrRefused) {
    const TempDir dir;
    const auto matrix_of = [&](const std::string& text) {
        pairmend_test::write_text(dir.file("m.csv"), text);
        return pairmend::fcs::read_spillover_csv(dir.file("m.csv"));
    };
    const SpilloverMatrix plain = matrix_of("\xEF\xBB\xBF\"FL1,A\",FL2-A\r\n1,0.25\r\n\r\n0.1,1\r\n");
    EXPECT_EQ(plain.channels, (std::vector<std::string>{"FL1,A", "FL2-A"}));
    EXPECT_EQ(plain.values, (std::vector<double>{1, 0.25, 0.1, 1}));
    for (const std::string corner : {"", "Channel"}) {
        const SpilloverMatrix named = matrix_of(corner + ",\"FL1,A\",FL2-A\n\"FL1,A\",1,0.25\nFL2-A,0.1,1\n");
        EXPECT_EQ(named.channels, plain.channels);
        EXPECT_EQ(named.values, plain.values);
    }
    EXPECT_EQ(matrix_of("FL1-A,FL2-A\nFL1-A,1,0.25\nFL2-A,0.1,1\n").values, plain.values);

    const std::string refusal = "The spillover matrix file " + dir.file("m.csv") + " cannot be used: ";
    const std::string advice =
        ". Write it as a header of channel names ($PnN), then one row of numbers per channel.";
    const struct {
        std::string text, fault;
    } faults[] = {{"FL1-A,FL2-A\n", "it holds no matrix rows"},
                  {"FL1-A,FL2-A\n1,0\n", "its header names 2 channels but 1 row follows"},
                  {"FL1-A,FL2-A\n1,0\n0\n", "line 3 has 1 values instead of 2"},
                  {"FL1-A,FL2-A\n1,0\n0,one\n", "line 3 holds \"one\" in column 2, which is not a number"},
                  {",FL1-A,FL2-A\nFL2-A,1,0\nFL1-A,0,1\n",
                   "line 2 is the row of \"FL2-A\", but the header's channel 1 is \"FL1-A\""},
                  {"FL1-A,FL1-A\n1,0\n0,1\n", "it names the channel FL1-A twice"},
                  {"FL1-A,FL2-A\n1,2\n0.5,1\n",
                   "its matrix is singular (it has no inverse, so the spill cannot be undone)"}};
    for (const auto& fault : faults) {
        pairmend_test::write_text(dir.file("m.csv"), fault.text);
        try {
            pairmend::fcs::read_spillover_csv(dir.file("m.csv"));
            ADD_FAILURE() << fault.text;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), refusal + fault.fault + advice);
        }
    }
    EXPECT_THROW(pairmend::fcs::read_spillover_csv(dir.file("absent.csv")), std::runtime_error);
}

TEST(FcsCompensationChoice, EveryFileOrNoneUnderAutoAndOneMatrixForAllFromAFile) {
    const std::vector<std::pair<std::string, std::string>> with = {{"$SPILLOVER", listed(dyes, spill)}};
    const auto file = [](const std::vector<std::pair<std::string, std::string>>& keywords,
                         const std::string& name) {
        return pairmend::fcs::parse_fcs(dye_file(2, 0, "FCS3.1", keywords).build(), name);
    };
    namespace study = pairmend::fcs_study;
    const study::CompensationChoice all =
        study::choose_compensation("auto", {file(with, "a.fcs"), file(with, "b.fcs")});
    EXPECT_EQ(all.kind, pairmend::model::CompensationKind::own_matrices);
    EXPECT_EQ(all.summary, "Compensating every file with its own spillover matrix, such as $SPILLOVER (3 "
                           "channels: FL1/FITC, PE Texas-Red, APC-A) of a.fcs");
    EXPECT_EQ(study::compensation_keyword(all, 1),
              "the file's $SPILLOVER (3 channels: FL1/FITC, PE Texas-Red, APC-A)");

    const study::CompensationChoice none =
        study::choose_compensation("auto", {file({}, "a.fcs"), file({{"$SPILLOVER", "1,FL9-A,1"}}, "b.fcs")});
    EXPECT_FALSE(none.compensates());
    EXPECT_EQ(none.summary, "Not compensating: no file carries a usable spillover matrix");
    EXPECT_EQ(study::compensation_keyword(none, 0), "");
    EXPECT_FALSE(study::choose_compensation("none", {file(with, "a.fcs")}).compensates());

    try {
        study::choose_compensation("auto",
                                   {file(with, "/x/a.fcs"), file({}, "/x/b.fcs"), file(with, "/x/c.fcs")});
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Only some of the files carry a usable spillover matrix, and files compensated and not "
                  "compensated cannot be corrected together. With a matrix: a.fcs, c.fcs; without one: b.fcs "
                  "(pairmend-fcs info says why). Give --compensation none to correct the values as measured, "
                  "or --compensation MATRIX.csv to compensate every file with one matrix.");
    }

    // A mass cytometer's spillover keyword is not used under auto, only a matrix file.
    FcsBuilder mass = dye_file(2, 0, "FCS3.0", with);
    mass.keywords.back() = {"$CYT", "Helios"};
    const pairmend::fcs::FcsFile helios = pairmend::fcs::parse_fcs(mass.build(), "m.fcs");
    EXPECT_FALSE(study::choose_compensation("auto", {helios}).compensates());
    const TempDir dir;
    pairmend_test::write_text(dir.file("m.csv"), "APC-A,FL1/FITC\n1,0.1\n0,1\n");
    const study::CompensationChoice given =
        study::choose_compensation(dir.file("m.csv"), {helios, file({}, "a.fcs")});
    EXPECT_EQ(given.kind, pairmend::model::CompensationKind::matrix_file);
    EXPECT_EQ(given.compensators[1].positions(), (std::vector<std::size_t>{3, 1}));
    pairmend_test::write_text(dir.file("m.csv"), "APC-A,FL9-A\n1,0.1\n0,1\n");
    try {
        study::choose_compensation(dir.file("m.csv"), {file({}, "a.fcs")});
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The spillover matrix of " + dir.file("m.csv") +
                      " names the channel FL9-A, which a.fcs does not have. Give a "
                      "matrix of this file's channels, or --compensation none.");
    }
}

// Corrected files keep the measured channels and the spillover keyword, record the matrix and hold
// values corrected on the compensated scale; a model remembers the compensation, and apply refuses
// files that would be compensated otherwise.
TEST(FcsCompensationRuns, CorrectFitAndApplyWorkOnCompensatedValues) {
    const TempDir dir;
    const std::vector<std::pair<std::string, std::string>> with = {{"$SPILLOVER", listed(dyes, spill)}};
    namespace study = pairmend::fcs_study;
    study::StudyFiles files;
    files.cofactor = 150;
    files.channels = dyes;
    files.files = {write_file(dir, "a.fcs", dye_file(150, 0, "FCS3.1", with)),
                   write_file(dir, "b.fcs", dye_file(150, 0.3, "FCS3.1", with))};
    std::ostringstream lines;
    study::Progress progress(lines);
    study::correct_study(files, {}, {dir.file("auto"), ""}, 1, progress);
    EXPECT_THAT(lines.str(), HasSubstr("] Compensating every file with its own spillover matrix, such as "
                                       "$SPILLOVER (3 channels: FL1/FITC, PE Texas-Red, APC-A) of a.fcs\n"));
    files.compensation = "none";
    study::correct_study(files, {}, {dir.file("none"), ""}, 1, progress);

    const pairmend::fcs::FcsFile input = pairmend::fcs::read_fcs(files.files[1]);
    const pairmend::fcs::FcsFile compensated = pairmend::fcs::read_fcs(dir.file("auto/b.fcs"));
    const pairmend::fcs::FcsFile measured = pairmend::fcs::read_fcs(dir.file("none/b.fcs"));
    EXPECT_EQ(compensated.keyword("$SPILLOVER"), input.keyword("$SPILLOVER"));
    EXPECT_EQ(compensated.keyword("PAIRMEND_COMPENSATION"),
              "the file's $SPILLOVER (3 channels: FL1/FITC, PE Texas-Red, APC-A)");
    EXPECT_FALSE(measured.keyword("PAIRMEND_COMPENSATION"));
    ASSERT_EQ(compensated.channels.size(), 7u);
    double largest_change = 0;
    for (std::size_t e = 0; e < input.num_events; ++e) {
        for (std::size_t c = 0; c < 4; ++c) {
            ASSERT_EQ(compensated.raw[e * 7 + c], input.raw[e * 4 + c]) << "the measured channels are kept";
        }
        for (std::size_t c = 4; c < 7; ++c) {
            largest_change =
                std::max(largest_change, std::fabs(compensated.raw[e * 7 + c] - measured.raw[e * 7 + c]));
        }
    }
    EXPECT_GT(largest_change, 1.0) << "the corrected channels hold compensated values";

    files.compensation = "auto";
    const std::string model_path = dir.file("model.pmm");
    study::fit_study(files, {}, model_path, 1, progress);
    const pairmend::model::Model model = pairmend::model::load_model(model_path);
    ASSERT_TRUE(model.fcs && model.fcs->compensation);
    EXPECT_EQ(model.fcs->compensation->kind, pairmend::model::CompensationKind::own_matrices);
    study::apply_study({files.files, {}, "", "", {}, "auto", ""}, model_path, {dir.file("applied"), ""}, 1,
                       progress);
    EXPECT_EQ(pairmend::fcs::read_fcs(dir.file("applied/a.fcs")).keyword("PAIRMEND_COMPENSATION"),
              compensated.keyword("PAIRMEND_COMPENSATION"));
    try {
        study::apply_study({files.files, {}, "", "", {}, "none", ""}, model_path, {dir.file("refused"), ""},
                           1, progress);
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The model " + model_path +
                      " was learnt from values compensated with every file's own spillover matrix, but these "
                      "files would be not compensated. Correct files that carry their spillover matrices, "
                      "with --compensation auto.");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("refused")));

    // A model of one matrix file keeps the matrix, and refuses another one.
    pairmend_test::write_text(dir.file("m.csv"),
                              listed(dyes, {}).substr(2) + "\n1,0.2,0.05\n0.1,1,0.3\n0,0.02,1\n");
    files.compensation = dir.file("m.csv");
    study::fit_study(files, {}, model_path, 1, progress);
    const pairmend::model::Model given = pairmend::model::load_model(model_path);
    ASSERT_TRUE(given.fcs && given.fcs->compensation);
    EXPECT_EQ(given.fcs->compensation->source, dir.file("m.csv"));
    EXPECT_EQ(given.fcs->compensation->channels, dyes);
    EXPECT_EQ(given.fcs->compensation->spillover, spill);
    pairmend_test::write_text(dir.file("m2.csv"),
                              listed(dyes, {}).substr(2) + "\n1,0.2,0.05\n0.1,1,0.3\n0,0.03,1\n");
    try {
        study::apply_study({files.files, {}, "", "", {}, dir.file("m2.csv"), ""}, model_path,
                           {dir.file("refused"), ""}, 1, progress);
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(),
                    HasSubstr("but these files would be compensated with the spillover matrix of " +
                              dir.file("m2.csv") +
                              " (another matrix). Give --compensation with "
                              "the matrix file " +
                              dir.file("m.csv") + " it was learnt with."));
    }
}

TEST(FcsCompensationRuns, ExportCompensatedMatchesTheSpilloverEquationsOnInstrumentFiles) {
    const std::filesystem::path folder = std::filesystem::path(PAIRMEND_SHARED_DATA) / "fcs" / "instruments";
    if (!std::filesystem::is_directory(folder)) {
        GTEST_SKIP() << "The instrument files of ../shared/data/fcs/instruments are not there.";
    }
    const TempDir dir;
    std::size_t files_with_matrix = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        pairmend::fcs::FcsFile file;
        try {
            file = pairmend::fcs::read_fcs(entry.path().string());
        } catch (const std::runtime_error&) {
            continue; // not an FCS file
        }
        const pairmend::fcs::FileSpillover found = pairmend::fcs::file_spillover(file);
        const pairmend::fcs_study::ExportOptions options{false, entry.path().string(), dir.file("out.csv"),
                                                         true};
        if (!found.matrix) {
            EXPECT_THROW(pairmend::fcs_study::export_csv(options), std::runtime_error) << entry.path();
            continue;
        }
        ++files_with_matrix;
        pairmend::fcs_study::export_csv(options);
        const std::vector<std::string> lines =
            pairmend_test::split_lines(pairmend_test::read_text(options.output));
        ASSERT_EQ(lines.size(), file.num_events + 1);
        const std::vector<double> linear = file.linear_values();
        const std::size_t width = file.channels.size();
        const pairmend::fcs::Compensator compensator(*found.matrix, file);
        for (std::size_t e = 0; e < file.num_events; ++e) {
            std::vector<double> row;
            std::istringstream cells(lines[e + 1]);
            for (std::string cell; std::getline(cells, cell, ',');) {
                row.push_back(std::stod(cell));
            }
            ASSERT_EQ(row.size(), width);
            std::vector<double> measured;
            for (const std::size_t position : compensator.positions()) {
                measured.push_back(linear[e * width + position]);
            }
            const std::vector<double> expected = solve_spill(found.matrix->values, measured);
            double scale = 1;
            for (const double value : measured) {
                scale = std::max(scale, std::fabs(value));
            }
            for (std::size_t j = 0; j < expected.size(); ++j) {
                const double got = row[compensator.positions()[j]];
                ASSERT_LE(std::fabs(got - expected[j]), 1e-6 * std::max(std::fabs(expected[j]), 1e-6 * scale))
                    << entry.path() << " event " << e + 1 << " channel " << found.matrix->channels[j];
            }
        }
    }
    EXPECT_GE(files_with_matrix, 1u);
}

} // namespace
