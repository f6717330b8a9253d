#ifndef PAIRMEND_FCS_STUDY_CHANNEL_CHOICE_HPP
#define PAIRMEND_FCS_STUDY_CHANNEL_CHOICE_HPP

// Which channels of an FCS file are corrected, and which instrument wrote it. The functions keep no
// state and may be called from any thread.

#include "pairmend/fcs/fcs_file.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/**
 * Whether a mass cytometer wrote the file: $CYT, $SYS or CREATOR names one (CyTOF, Helios,
 * Hyperion, Fluidigm, DVS Sciences, Standard BioTools), or most channel names are metal
 * isotopes in the mass cytometers' own style ("Nd142Di", "142Nd_CD19").
 */
bool is_mass_cytometry(const pairmend::fcs::FcsFile& file);

/**
 * Why the default choice leaves a channel out, or an empty text when it corrects the channel.
 *
 * Left out are the bookkeeping channels: time ($PnN or $PnS "Time..."), event counters and
 * lengths (a name or label holding "event", "Cell_length"), MACSQuant's HDR- channels (time,
 * trigger counts, volume), the Helios pulse-shape channels (Center, Offset, Width, Residual), channels
 * that pairmend-fcs added before (names ending in "_mnn") and scatter (FSC..., SSC...), which is not a marker
 * and not read on an arcsinh scale. In mass cytometry also the channels without a marker label (no $PnS, or
 * one equal to $PnN), barcodes (labels "BC<number>" or "...barcode..."), DNA intercalators (labels "DNA..."),
 * beads (names or labels holding "bead") and viability stains (labels holding "cisplatin", "viability",
 * "live" or "dead").
 *
 * @param channel        the channel as the file describes it.
 * @param massCytometry  whether the file comes from a mass cytometer (see is_mass_cytometry).
 */
std::string default_exclusion_reason(const pairmend::fcs::Channel& channel, bool massCytometry);

/** The positions (from 0) in file.channels of the channels the default choice corrects. */
std::vector<std::size_t> default_channels(const pairmend::fcs::FcsFile& file);

/**
 * The position (from 0) of a channel named `name` in the file: the channel whose $PnN is `name`,
 * or else the one channel whose $PnS is `name`.
 * @throws std::runtime_error naming the file and the channel when no channel has that name, or
 *         when several channels carry it as their label.
 */
std::size_t find_channel(const pairmend::fcs::FcsFile& file, const std::string& name);

/** How messages and progress lines show a channel: "CD19 (Nd142Di)", or the $PnN alone. */
std::string channel_display_name(const pairmend::fcs::Channel& channel);

} // namespace pairmend::fcs_study

#endif
