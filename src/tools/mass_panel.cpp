#include "mass_panel.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>

namespace pairmend::tools {

namespace {

struct PanelEntry {
    const char* element;
    int mass;
    const char* marker;
};

// A typical immunophenotyping panel in the order it is filled: the lanthanides, whose channels
// are the cleanest, come first; larger panels add lanthanum, praseodymium, indium, yttrium,
// cadmium, bismuth and platinum. Every mass occurs once (an instrument cannot tell two isotopes
// of the same mass apart), and no label is one that pairmend-fcs's default choice leaves out
// (DNA, barcodes, beads, viability).
constexpr PanelEntry kPanel[] = {
    {"Nd", 142, "CD3"},    {"Nd", 143, "CD4"},    {"Nd", 144, "CD8"},    {"Nd", 145, "CD19"},
    {"Nd", 146, "CD45RA"}, {"Sm", 147, "CD11b"},  {"Nd", 148, "CD14"},   {"Sm", 149, "CD16"},
    {"Nd", 150, "CD20"},   {"Eu", 151, "CD25"},   {"Sm", 152, "CD27"},   {"Eu", 153, "CD28"},
    {"Sm", 154, "CD33"},   {"Gd", 155, "CD38"},   {"Gd", 156, "CD56"},   {"Gd", 157, "CD57"},
    {"Gd", 158, "CD62L"},  {"Tb", 159, "CD123"},  {"Gd", 160, "CD127"},  {"Dy", 161, "CD161"},
    {"Dy", 162, "CCR7"},   {"Dy", 163, "HLA-DR"}, {"Dy", 164, "IgD"},    {"Ho", 165, "IgM"},
    {"Er", 166, "TCRgd"},  {"Er", 167, "CXCR3"},  {"Er", 168, "CXCR5"},  {"Tm", 169, "CCR4"},
    {"Er", 170, "CCR6"},   {"Yb", 171, "PD-1"},   {"Yb", 172, "CD45RO"}, {"Yb", 173, "Ki-67"},
    {"Yb", 174, "FoxP3"},  {"Lu", 175, "Tbet"},   {"Yb", 176, "CD11c"},  {"La", 139, "CD66b"},
    {"Pr", 141, "CD15"},   {"In", 113, "CD2"},    {"In", 115, "CD24"},   {"Y", 89, "CD45"},
    {"Cd", 106, "CD7"},    {"Cd", 110, "CD1c"},   {"Cd", 111, "CD141"},  {"Cd", 112, "CD86"},
    {"Cd", 114, "CD69"},   {"Cd", 116, "CD39"},   {"Bi", 209, "CD95"},   {"Pt", 194, "KLRG1"},
    {"Pt", 195, "CTLA-4"}, {"Pt", 196, "GATA3"},
};

} // namespace

int panel_size() {
    return static_cast<int>(std::size(kPanel));
}

std::vector<PanelChannel> panel_channels(int dims) {
    if (dims < 1 || dims > panel_size()) {
        throw std::invalid_argument("A simulated FCS study measures from 1 to " +
                                    std::to_string(panel_size()) + " markers (--dims), not " +
                                    std::to_string(dims) + ".");
    }
    std::vector<PanelChannel> channels;
    for (int j = 0; j < dims; ++j) {
        const PanelEntry& entry = kPanel[j];
        channels.push_back({entry.element + std::to_string(entry.mass) + "Di", entry.marker, entry.mass, j});
    }
    std::sort(channels.begin(), channels.end(),
              [](const PanelChannel& a, const PanelChannel& b) { return a.mass < b.mass; });
    return channels;
}

} // namespace pairmend::tools
