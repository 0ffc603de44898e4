// The readers of the spectrum formats that detectors and their programs
// write, one per format, and the conversion they share into the program's
// record. The face (input/spectrum_file.h) recognises a file's format and
// calls one of them; they only use what lies below them (common.h, xml.h).
//
// Formats: IAEA SPE (text blocks $MEAS_TIM:, $DATA:, ...), ANSI N42.42 XML of
// the 2006 and the 2011/2012 schema, RadiaCode XML exports, CSV exports of a
// multichannel analyser (key-value header and a Channel,Energy,Counts table)
// and ORTEC CHN (binary). The native format has its own reader (native.h).
//
// Each reader gives a SourceSpectrum: the spectrum it chose as the file has it
// (times in seconds, counts on the file's own channels, energy calibration on
// the file's own channel numbers; the start of the measurement where the
// file states one, read by times.h: a stated start that does not read gives
// none and a `start_time_problem`, never a refused file). A file with several spectra gives the
// foreground one (N42 MeasurementClassCode "Foreground" or SourceType "Item",
// RadiaCode EnergySpectrum rather than BackgroundEnergySpectrum, the first
// detector of the first such measurement; never a DerivedData sum) and names
// everything else in `unread`.
//
// to_spectrum_file then turns it into the record, the same for every format:
// times to microseconds rounded to the nearest; 1024 channels as they are;
// more channels padded with empty ones at the top to the next multiple of
// 1024 and summed in groups of that many adjacent channels (sums held at the
// int32 limits, and `counts_held` set); fewer channels fill the lowest
// channels and the rest are 0; the calibration carried over to the
// 1024-channel scale; `conversion` says in words what was done.
//
// Failure: a SpectrumFailure of kind `incomplete` whose message says what is
// missing or wrong ("no live time ($MEAS_TIM)", "is not well-formed XML:
// ...", "holds 70000 channels; at most 65536 can be read"); the face puts the
// format's name in front. A time that is missing, negative or not finite, a
// file without channels or with more than 65536, a count that does not scan
// or is not finite, and a document that is not well formed are all refused.
#pragma once

#include <string_view>

#include "core/expected.h"
#include "input/spectrum_record.h"

// Each reader takes the whole file as UTF-8 or ASCII (CR LF line ends are
// read as they are; the face has turned lone CRs into LFs and UTF-16 into
// UTF-8, and dropped a byte order mark).
Expected<SourceSpectrum, SpectrumFailure> read_iaea_spe(std::string_view text);
Expected<SourceSpectrum, SpectrumFailure> read_n42(std::string_view bytes);
Expected<SourceSpectrum, SpectrumFailure> read_radiacode_xml(std::string_view bytes);
Expected<SourceSpectrum, SpectrumFailure> read_csv_export(std::string_view text);
Expected<SourceSpectrum, SpectrumFailure> read_ortec_chn(std::string_view bytes);

// The record for a spectrum read from a file of another format (see above).
Expected<SpectrumFile, SpectrumFailure> to_spectrum_file(SourceSpectrum source);
