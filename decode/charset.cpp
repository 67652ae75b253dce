// Opening a converter loads tables, and a list of a few hundred messages
// names only a handful of charsets, so converters (and the names iconv
// does not know) are kept, a few at a time, for the life of the process.
#include "decode/charset.h"
#include "decode/utf8.h"

#include <array>
#include <cerrno>
#include <iconv.h>

namespace {

// Longer names are no charset's; iconv is never asked about them.
constexpr std::size_t kCharsetNameChars = 40;
constexpr std::size_t kKeptConverters = 8;

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

struct Converter {
	std::string name; // lower case; empty while the slot is free
	iconv_t cd = kNoConverter;
};

std::array<Converter, kKeptConverters> kept;
std::size_t nextSlot = 0;

std::string lowerCase(std::string_view s)
{
	std::string out(s);
	for (char &c : out)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return out;
}

// The converter from charset to UTF-8, or kNoConverter.
iconv_t converter(std::string_view charset)
{
	if (charset.empty() || charset.size() > kCharsetNameChars)
		return kNoConverter;
	const std::string name = lowerCase(charset);
	for (const Converter &c : kept)
		if (c.name == name)
			return c.cd;
	Converter &slot = kept[nextSlot];
	nextSlot = (nextSlot + 1) % kept.size();
	if (slot.cd != kNoConverter)
		iconv_close(slot.cd);
	slot.name = name;
	slot.cd = iconv_open("UTF-8", name.c_str());
	return slot.cd;
}

} // namespace

bool knownCharset(std::string_view charset)
{
	return converter(charset) != kNoConverter;
}

// What iconv makes is not always valid UTF-8: glibc passes the five- and
// six-byte forms of old through from UTF-8.  So it is checked again.
bool convertToUtf8(std::string_view charset, std::string_view bytes, std::string &result)
{
	iconv_t cd = converter(charset);
	if (cd == kNoConverter)
		return false;
	std::string out;
	iconv(cd, nullptr, nullptr, nullptr, nullptr); // the initial shift state
	std::array<char, 256> buf;
	char *in = const_cast<char *>(bytes.data()); // iconv does not write it
	std::size_t inLeft = bytes.size();
	for (;;) {
		char *o = buf.data();
		std::size_t outLeft = buf.size();
		const std::size_t done = iconv(cd, &in, &inLeft, &o, &outLeft);
		out.append(buf.data(), static_cast<std::size_t>(o - buf.data()));
		if (done != static_cast<std::size_t>(-1))
			break;
		if (errno == E2BIG)
			continue;
		out += kReplacement;
		if (errno != EILSEQ || inLeft == 0)
			break; // an incomplete character at the end
		++in; // a byte that starts no character: step over it
		--inLeft;
	}
	char *o = buf.data();
	std::size_t outLeft = buf.size();
	iconv(cd, nullptr, nullptr, &o, &outLeft); // back to the initial state
	out.append(buf.data(), static_cast<std::size_t>(o - buf.data()));
	appendValidUtf8(result, out);
	return true;
}
