// Spectrum files that detectors and their programs write, read into the
// program's own spectrum record (SpectrumFile).
//
// In: the bytes of a file, recognised by their content, never by the file's
// name: IAEA SPE (text blocks $MEAS_TIM:, $DATA:, ...), ANSI N42.42 XML of the
// 2006 and the 2011/2012 schema, RadiaCode XML exports, CSV exports of a
// multichannel analyser (key-value header and a Channel,Energy,Counts table)
// and ORTEC CHN (binary). Anything else is the native format and goes to
// parse_spectrum_text unchanged, so a native file is never taken for another
// format: the others start with what no readable native file starts with
// ('$', '<', the bytes FF FF, a word with a table of commas or the words
// Channel or Count below it, or a number directly followed by a comma). A
// bare column of numbers is the native format's own shape and stays native.
//
// Each reader gives a SourceSpectrum: the spectrum it chose as the file has it
// (times in seconds, counts on the file's own channels, energy calibration on
// the file's own channel numbers). A file with several spectra gives the
// foreground one (N42 MeasurementClassCode "Foreground" or SourceType "Item",
// RadiaCode EnergySpectrum rather than BackgroundEnergySpectrum, the first
// detector of the first such measurement; never a DerivedData sum) and names
// everything else in `unread`.
//
// to_spectrum_file then turns it into the record, the same for every format:
// times to microseconds rounded to the nearest; 1024 channels as they are;
// more channels padded with empty ones at the top to the next multiple of
// 1024 and summed in groups of that many adjacent channels (sums held at the
// int32 limits); fewer channels fill the lowest channels and the rest are 0;
// the calibration carried over to the 1024-channel scale; `conversion` says
// in words what was done.
//
// Failure: a SpectrumFailure of kind `incomplete` whose message names the
// format and what is missing or wrong ("IAEA SPE: no live time ($MEAS_TIM)",
// "N42.42-2011: is not well-formed XML: ...", "holds 70000 channels; at most
// 65536 can be read"). A time that is missing, negative or not finite, a file
// without channels or with more than 65536, a count that does not scan or is
// not finite, and a document that is not well formed are all refused; the
// entry is then skipped like any damaged file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/expected.h"
#include "input/spectrum_file.h"

// Most channels read from a file; more are refused.
inline constexpr int kMaxSourceChannels = 65536;

enum class SpectrumFormat { native, iaea_spe, n42, radiacode_xml, other_xml, csv_export, ortec_chn };

// The format of a file's bytes, from their content alone.
SpectrumFormat recognise_format(std::string_view bytes);

// The spectrum a reader chose, in the file's own terms.
struct SourceSpectrum {
    const char* format = "";                // "IAEA SPE", "N42.42-2011", ...
    std::optional<double> live_time_s;      // s; none when the file gives none
    std::optional<double> real_time_s;      // s
    const char* live_time_name = "";        // where the file keeps them, for a diagnostic
    const char* real_time_name = "";
    std::vector<double> counts;             // counts of channels 0, 1, ... as the file numbers them
                                            // (channels below a file's first one are 0); finite
    std::vector<double> calibration;        // keV at file channel x = sum_k calibration[k] x^k;
                                            // empty for none; no trailing zero, at least 2 terms
    std::vector<std::string> notes;         // what was done beyond taking values as they are
    std::vector<std::string> unread;        // what the file holds besides the spectrum read
};

// Each reader takes the whole file (CR LF line ends are read as they are).
// The failure's message does not yet name the format; read_spectrum_bytes
// puts it in front.
Expected<SourceSpectrum, SpectrumFailure> read_iaea_spe(std::string_view text);
Expected<SourceSpectrum, SpectrumFailure> read_n42(std::string_view bytes);
Expected<SourceSpectrum, SpectrumFailure> read_radiacode_xml(std::string_view bytes);
Expected<SourceSpectrum, SpectrumFailure> read_csv_export(std::string_view text);
Expected<SourceSpectrum, SpectrumFailure> read_ortec_chn(std::string_view bytes);

// The record for a spectrum read from a file of another format (see above);
// the failure's message starts with the source's format.
Expected<SpectrumFile, SpectrumFailure> to_spectrum_file(SourceSpectrum source);

// Recognises the format of `bytes` and reads them into the record; native
// files go to parse_spectrum_text with CR LF folded, exactly as before.
Expected<SpectrumFile, SpectrumFailure> read_spectrum_bytes(std::string bytes);

// Helpers the readers share.
namespace formats {

// A calibration with trailing zero terms dropped; empty when no term beyond
// the constant is left or a term is not finite (all zero means none).
std::vector<double> tidy_calibration(std::vector<double> coefficients);

// A quadratic least-squares fit of keV against channel through the points
// (channel[i], energy[i]); the largest deviation goes to `*worst` (keV).
// Empty when fewer than 3 points or the fit is singular.
std::vector<double> fit_calibration(const std::vector<double>& channel, const std::vector<double>& energy,
                                    double* worst);

// A real number at the start of `text` (leading blanks skipped, no locale):
// decimal with optional sign, fraction and exponent, or inf/nan. `*used`
// receives the characters consumed (0: none).
std::optional<double> parse_real(std::string_view text, size_t* used);

}  // namespace formats
