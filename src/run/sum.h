// The sum of spectra that add entries build and evaluate entries evaluate,
// and the count rate of a component in it.
#pragma once

#include "core/records.h"

// Adds the scratch spectrum's times and counts to the sum, holding every
// value at its type's limit instead of wrapping. Returns true when some value
// had to be held.
bool add_to_sum(const SampleRecord& scratch, SampleRecord* sum);

// Empties the sum's spectrum (times and counts); weight and results stay.
void clear_sum(SampleRecord* sum);

// Counts per minute in the component's first ROI [first, end), summed in
// float channel by channel; only channels inside the spectrum are summed.
float count_rate(const SampleRecord& sum, const ComponentBlock& block);
