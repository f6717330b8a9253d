#ifndef PAIRMEND_TOOLS_MASS_PANEL_HPP
#define PAIRMEND_TOOLS_MASS_PANEL_HPP

// The antibody panel of the simulated mass-cytometry study: which metal isotope carries which
// marker, as a mass cytometer's files name them ($PnN "Nd142Di", $PnS "CD3").

#include <string>
#include <vector>

namespace pairmend::tools {

/// One marker channel: the antibody's target and the isotope it is conjugated to.
struct PanelChannel {
    /// The channel name a mass cytometer writes: element, mass and "Di" ("Nd142Di").
    std::string isotope;
    /// The marker, written as the channel's label ("CD3").
    std::string marker;
    /// The isotope's mass number; the instrument writes its channels in ascending mass.
    int mass = 0;
    /// The simulated parameter (0-based) whose values the channel holds.
    int dimension = 0;
};

/// How many markers the panel holds: the largest number of parameters of a simulated FCS study.
int panel_size();

/**
 * The marker channels of a study with `dims` parameters, in the order the instrument writes them
 * (ascending mass). Parameter j is measured by the panel's j-th antibody: the lanthanides from
 * Nd142 to Yb176 first, the isotopes that larger panels add after them.
 * @throws std::invalid_argument when `dims` is not from 1 to panel_size().
 */
std::vector<PanelChannel> panel_channels(int dims);

} // namespace pairmend::tools

#endif
