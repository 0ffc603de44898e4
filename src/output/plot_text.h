// Text for the pictures and their index page: bytes from files shown as
// characters, XML escaping, width estimates for keeping labels apart, and
// numbers written as labels and as coordinates. Internal to the pictures.
//
// In: bytes of any kind (names and entries come from files), numbers of any
// value, NaN and infinities included.
// Out: characters and UTF-8 text that XML accepts.
// Failure: none.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace plot {

// Appends the parts one after the other (cheaper than chains of +, and free
// of a false overlap warning that gcc gives for them).
template <typename... Parts>
void append(std::string& out, const Parts&... parts) {
    (out.append(parts), ...);
}

// `bytes` read as UTF-8, one character per valid shortest-form sequence. A
// byte that does not begin one becomes U+FFFD by itself, and so do controls
// and the two noncharacters XML excludes: the text is fit for a one-line label.
std::u32string decode(std::string_view bytes);

// Characters as XML text or attribute value (both quote kinds escaped, so
// either may delimit the attribute).
std::string escape(const std::u32string& text);

// escape(decode(bytes)).
std::string xml(std::string_view bytes);

// At most `limit` characters: the middle gives way to an ellipsis (U+2026),
// about two thirds of the rest kept from the start, the rest from the end.
std::u32string shorten(const std::u32string& text, size_t limit);

// Width of `text` in px at `font_size` px, generously estimated for a
// sans-serif face with the metrics of Arial; for keeping labels apart, never
// for placing glyphs.
double text_width(const std::u32string& text, double font_size, bool bold);

// The longest shortening of `text` (as shorten gives it) whose estimated
// width is at most `width` px; at least one character of a text that has any.
std::u32string shorten_to_width(const std::u32string& text, double width, double font_size,
                                bool bold);

// A value as the result table prints it ("%.*f"), except where that would be
// longer than 14 characters (a large float has up to 39 digits before the
// point): then as "%.6e". "nan", "inf" and "-inf" stay plain words.
std::string fixed(double value, int digits);

// A value and its standard deviation rounded to two significant digits of
// the deviation ("148.38", "0.95"; "70", "56"); as fixed(x, 2) where the
// deviation is not above 0 or either is not finite.
std::pair<std::string, std::string> rounded_pair(double value, double deviation);

// An activity with its uncertainty and its coverage interval, all rounded to
// two significant digits of the uncertainty: value "148.4", uncertainty
// "2.1", interval "95 %: 144.2–152.6" (as rounded_pair() rounds them).
// The interval is empty without finite bounds or an uncertainty above 0.
struct UncertainText {
    std::string value;
    std::string uncertainty;
    std::string interval;
};
UncertainText uncertain_text(double value, double uncertainty, double lower, double upper,
                             double coverage);

// A positive value to two significant digits; others as fixed(x, 2).
std::string two_digits(double value);

// A coordinate in px rounded to 0.1, without a trailing ".0" ("12", "-3.5").
std::string px(double value);

}  // namespace plot
