// Transforms per channel: the logicle maths against its defining equation, exact inverses, and
// the transforms file's refusals with their line numbers.

#include "pairmend/fcs_study/transforms.hpp"
#include "pairmend/model/transform.hpp"

#include "cli_harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairmend::model::ChannelTransform;
using pairmend::model::Transform;
using pairmend::model::TransformKind;
using ::testing::HasSubstr;

ChannelTransform logicle(double t, double w, double m, double a) {
    return {TransformKind::logicle, {t, w, m, a}};
}

// The logicle's linear value at display position y (0 at the bottom, 1 at T), written from the
// defining equation of Parks, Roederer and Moore (2006): about the zero, at natural-log distance
// x >= 0, S(x) = K (e^x - p^2 e^(-x/p) + p^2 - 1), S(-x) = -S(x), with W ln 10 = 2 p ln p / (p + 1),
// the zero (W + A) / (M + A) of the way up, and K such that y = 1 gives T.
double defining_equation(double t, double w, double m, double a, double p, double y) {
    const double ln10 = std::log(10.0);
    const auto s = [p](double x) { return std::exp(x) - p * p * std::exp(-x / p) + p * p - 1; };
    const double k = t / s((m - w) * ln10);
    const double x = (y * (m + a) - (w + a)) * ln10;
    return x >= 0 ? k * s(x) : -k * s(-x);
}

pairmend::fcs::FcsFile panel(const std::string& path, std::vector<pairmend::fcs::Channel> channels) {
    pairmend::fcs::FcsFile file;
    file.path = path;
    file.channels = std::move(channels);
    return file;
}

pairmend::fcs::Channel channel(const std::string& name, const std::string& label, double range) {
    pairmend::fcs::Channel c;
    c.name = name;
    c.label = label;
    c.range = range;
    return c;
}

} // namespace

TEST(Logicle, ForwardEqualsTheDefiningEquationAndTheInverseUndoesItOverTheRange) {
    const double ln10 = std::log(10.0);
    for (const ChannelTransform& spec :
         {logicle(262144, 0.5, 4.5, 0), logicle(262144, 1, 4.5, 1), logicle(10000, 0, 4, 0),
          logicle(1000, 0.8, 5, -0.8), logicle(262144, 2, 4.5, 0.5)}) {
        const double t = spec.parameters[0], w = spec.parameters[1], m = spec.parameters[2],
                     a = spec.parameters[3];
        const double p = pairmend::model::logicle_p(w);
        EXPECT_NEAR(2 * p * std::log(p) / (p + 1), w * ln10, 1e-12) << w;
        const Transform transform(spec);
        // Display positions across the scale (and a little below its bottom), on the scale of
        // natural logarithms: position y is y (M + A) ln 10.
        for (double y = -0.1; y <= 1.0001; y += 0.025) {
            const double value = defining_equation(t, w, m, a, p, y);
            const double position = y * (m + a) * ln10;
            // The equation as written loses about p^2 K ulps to cancellation near the zero.
            EXPECT_NEAR(transform.inverse(position), value, 1e-12 * std::fabs(value) + 1e-14 * t)
                << transform_text(spec) << " at " << y;
            EXPECT_NEAR(transform.forward(value), position, 1e-12 * std::max(1.0, std::fabs(position)))
                << transform_text(spec) << " at " << y;
        }
        EXPECT_DOUBLE_EQ(transform.inverse((m + a) * ln10), t);
        EXPECT_EQ(transform.forward(0), (w + a) * ln10);
        // Linear values over the channel's range, both signs, from 1e-2 to T: back exactly.
        for (double value = 1e-2; value <= t; value *= 1.37) {
            for (const double v : {value, -value}) {
                EXPECT_NEAR(transform.inverse(transform.forward(v)), v, 1e-9 * std::fabs(v))
                    << transform_text(spec) << " at " << v;
            }
        }
    }
}

TEST(Arcsinh, IsTheCofactorFormulaExactlyAndLinearLeavesValuesAlone) {
    const Transform arcsinh(pairmend::model::arcsinh_transform(150));
    const Transform linear(ChannelTransform{TransformKind::linear, {}});
    for (const double v : {-512.25, 0.0, 3.0, 1e5}) {
        EXPECT_EQ(arcsinh.forward(v), std::asinh(v / 150));
        EXPECT_EQ(arcsinh.inverse(arcsinh.forward(v)), std::sinh(std::asinh(v / 150)) * 150);
        EXPECT_EQ(linear.forward(v), v);
        EXPECT_EQ(linear.inverse(v), v);
    }
}

TEST(TransformBounds, PublishedBoundsAreEnforced) {
    const auto fault = [](const ChannelTransform& t) { return pairmend::model::transform_fault(t); };
    EXPECT_EQ(fault(logicle(262144, 0.5, 4.5, 0)), "");
    EXPECT_EQ(fault(logicle(262144, 2.25, 4.5, 0)), "");   // W = M / 2
    EXPECT_EQ(fault(logicle(262144, 0.5, 4.5, -0.5)), ""); // A = -W
    EXPECT_EQ(fault(logicle(262144, 0.5, 4.5, 3.5)), "");  // A = M - 2W
    EXPECT_THAT(fault(logicle(262144, 2.3, 4.5, 0)), HasSubstr("W must lie between 0 and M / 2 = 2.25"));
    EXPECT_THAT(fault(logicle(262144, -0.1, 4.5, 0)), HasSubstr("W must lie between"));
    EXPECT_THAT(fault(logicle(262144, 0.5, 4.5, -0.6)),
                HasSubstr("A must lie between -W = -0.5 and M - 2W = 3.5"));
    EXPECT_THAT(fault(logicle(262144, 0.5, 4.5, 3.6)), HasSubstr("A must lie between"));
    EXPECT_THAT(fault(logicle(262144, 0.5, 0, 0)), HasSubstr("M (the decades of the scale)"));
    EXPECT_THAT(fault(logicle(0, 0.5, 4.5, 0)), HasSubstr("T (the top of the scale)"));
    EXPECT_THAT(fault(pairmend::model::arcsinh_transform(0)),
                HasSubstr("cofactor must be a positive number"));
    EXPECT_THROW(Transform(logicle(262144, 3, 4.5, 0)), std::invalid_argument);
}

TEST(TransformsFile, ResolvesChannelsByNameLabelOrCommonNameWithDefaults) {
    pairmend_test::TempDir dir;
    const std::string path = dir.file("t.csv");
    std::ofstream(path) << "channel,transform,parameters\n"
                        << "CD3,logicle,\n"
                        << "FL2-A, logicle , 10000 1\n"
                        << "\n"
                        << "CD19,linear\n";
    const pairmend::fcs_study::TransformSheet sheet = pairmend::fcs_study::read_transform_sheet(path);
    const std::vector<pairmend::fcs::FcsFile> files = {
        panel("a.fcs", {channel("FL1-A", "CD3", 262144), channel("FL2-A", "CD4", 262144),
                        channel("FL3-A", "CD8", 262144), channel("FL4-A", "CD19", 1024)})};
    const auto given = pairmend::fcs_study::given_transforms(sheet, files, {{0, 1, 2, 3}});
    ASSERT_EQ(given.size(), 4U);
    EXPECT_EQ(*given[0], logicle(262144, 0.5, 4.5, 0)); // T from $PnR
    EXPECT_EQ(*given[1], logicle(10000, 1, 4.5, 0));
    EXPECT_FALSE(given[2].has_value());
    EXPECT_EQ(given[3]->kind, TransformKind::linear);

    // A common name of the channel map names the channel in every file, whatever it is called there.
    const std::string map_path = dir.file("names.csv");
    std::ofstream(map_path) << "name,channel\nCD8,FL3-A\nCD8,FL7-H\n";
    std::ofstream(path) << "channel,transform,parameters\nCD8,arcsinh,20\n";
    const std::vector<pairmend::fcs::FcsFile> other = {panel("b.fcs", {channel("FL7-H", "", 1024)})};
    const auto sheet_cd8 = pairmend::fcs_study::read_transform_sheet(path);
    const auto mapped = pairmend::fcs_study::given_transforms(
        sheet_cd8, other, {{0}}, pairmend::fcs_study::ChannelMap::read(map_path));
    EXPECT_THROW(pairmend::fcs_study::given_transforms(sheet_cd8, other, {{0}}), std::runtime_error);
    EXPECT_EQ(*mapped[0], pairmend::model::arcsinh_transform(20));
}

TEST(TransformsFile, RefusalsNameTheLine) {
    pairmend_test::TempDir dir;
    const std::vector<pairmend::fcs::FcsFile> files = {
        panel("a.fcs", {channel("FL1-A", "CD3", 262144), channel("FL2-A", "CD4", 0)})};
    const auto refusal = [&](const std::string& lines) {
        const std::string path = dir.file("t.csv");
        std::ofstream(path) << "channel,transform,parameters\n" << lines;
        try {
            const auto sheet = pairmend::fcs_study::read_transform_sheet(path);
            pairmend::fcs_study::given_transforms(sheet, files, {{0, 1}});
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    const std::string file = dir.file("t.csv");
    EXPECT_EQ(refusal("CD3,arcsinh,150\nCD3,arcsinh,150\n"),
              "Line 3 of the transforms file " + file +
                  " names the channel CD3 again (line 2 names it already). Give each channel one transform.");
    EXPECT_EQ(refusal("CD3,arcsinh,150\nFL1-A,arcsinh,150\n"),
              "Line 3 of the transforms file " + file +
                  " and line 2 both give a transform for the channel FL1-A of a.fcs. Give each channel one "
                  "transform.");
    EXPECT_EQ(refusal("CD3,asinh,150\n"), "Line 2 of the transforms file " + file +
                                              " gives the channel CD3 the transform \"asinh\", which "
                                              "pairmend-fcs does not know. Use arcsinh, logicle or linear.");
    EXPECT_EQ(refusal("CD3,arcsinh,150\nCD4,arcsinh,-5\n"),
              "Line 3 of the transforms file " + file +
                  " gives the channel CD4 parameters that cannot be used: the cofactor must be a positive "
                  "number, not -5.");
    EXPECT_THAT(refusal("CD3,logicle,262144 0.5 4.5 -1\n"),
                HasSubstr("Line 2 of the transforms file " + file + " gives the channel CD3 parameters"));
    EXPECT_THAT(refusal("CD3,logicle,262144 3\n"), HasSubstr("Line 2 of"));
    EXPECT_THAT(refusal("CD3,arcsinh,15O\n"),
                HasSubstr("Line 2 of the transforms file " + file + " gives the parameter \"15O\""));
    EXPECT_THAT(refusal("CD3,linear,1\n"), HasSubstr("linear takes no parameters"));
    EXPECT_EQ(refusal("CD3,arcsinh,150\n\nCD57,linear\n"),
              "Line 4 of the transforms file " + file +
                  " names the channel CD57, which none of the files has (as $PnN, $PnS). Correct the name or "
                  "remove the line.");
    EXPECT_THAT(refusal("CD4,logicle\n"), HasSubstr("leaves out logicle's T for the channel FL2-A"));
    EXPECT_THAT(refusal("CD3,arcsinh,1,2\n"), HasSubstr("Line 2 of the transforms file " + file + " reads"));
}
