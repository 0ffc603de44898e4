// Spectrum files, the face of spectrum reading: a file's bytes are recognised
// by their content, never by the file's name, and read by the one reader of
// their format (formats/native.h for the program's own format, formats/
// formats.h for those detectors write) into one record (spectrum_record.h).
//
// Before recognition a UTF-8 byte order mark is dropped and a file with a
// UTF-16 one is turned into UTF-8; lone CRs end lines in the text formats of
// other programs. A native file is otherwise read exactly as its reader reads
// it, with CR LF folded: the other formats start with what no readable native
// file starts with ('$', '<', the bytes FF FF, a word with a table of commas
// or the words Channel or Count below it, or a number directly followed by a
// comma). A bare column of numbers is the native format's own shape.
//
// A file is read all or nothing: a spectrum that lacks a time or a count, or
// holds one that does not scan, is refused as a whole, so counts of one file
// never leak into another. A failure's message names the format when it is
// not the native one, one name per format ("IAEA SPE: no live time
// ($MEAS_TIM)", "N42.42: ...", "CSV: ...").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/expected.h"
#include "core/records.h"
#include "input/formats/native.h"
#include "input/formats/times.h"
#include "input/spectrum_record.h"

enum class SpectrumFormat { native, iaea_spe, n42, radiacode_xml, other_xml, csv_export, ortec_chn };

// The format of a file's bytes, from their content alone; the bytes are
// taken as they are (read_spectrum_bytes drops a byte order mark first).
SpectrumFormat recognise_format(std::string_view bytes);

// Recognises the format of `bytes` and reads them into the record.
Expected<SpectrumFile, SpectrumFailure> read_spectrum_bytes(std::string bytes);

// Reads and checks the spectrum file at `path`, of any format read. A file
// that cannot be opened fails as `cannot_open`; one beyond the input limit as
// `too_large`.
Expected<SpectrumFile, SpectrumFailure> read_spectrum_file(const std::string& path);

// Whole seconds of a time in microseconds, the remainder dropped.
constexpr uint64_t microseconds_to_seconds(uint64_t microseconds) { return microseconds / 1000000u; }

// Puts the spectrum into live_time, real_time (whole seconds) and channel of
// `sample`; no other field is touched.
void store_spectrum(const SpectrumFile& spectrum, SampleRecord* sample);

// Reads the spectrum file `path` into live_time, real_time (whole seconds)
// and channel of `sample`. Returns 1 when it was read; 0 when it cannot be
// opened or is incomplete, and `sample` is then left exactly as it was (when
// `problem` is given it receives the reason).
int32_t read_sample(const char* path, SampleRecord* sample, std::string* problem = nullptr);
