// Opening a converter loads tables, and mail in many charsets names each
// again and again: every charset found is kept for the life of the
// process, and so are (a good many) names that stand for none, apart from
// them.  A single-byte charset is made a table of 256 entries once, so
// that its words need no call into iconv at all.
#include "decode/charset.h"
#include "decode/utf8.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <iconv.h>
#include <memory>
#include <unordered_map>
#include <unordered_set>

using std::string;
using std::string_view;

namespace {

// Longer names are no charset's; iconv is never asked about them.
constexpr std::size_t kCharsetNameChars = 40;
// Names that stand for no charset, remembered so that iconv is not asked
// again; past so many, a new one is asked about each time.
constexpr std::size_t kRememberedUnknownNames = 1024;
// Charsets kept open.  Names are asked of iconv only when made of letters,
// digits and ".:_-", and in those iconv knows about 1,200: this is never
// reached by mail, only by a flood of names that iconv would read loosely.
constexpr std::size_t kKeptCharsets = 2048;
// The longest UTF-8 that a byte of a single-byte charset becomes.
constexpr std::size_t kTableEntryBytes = 7;

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Labels that mail carries for a charset iconv knows by another name, or
// for a narrower one than their writers mean: read as browsers read them
// (the WHATWG Encoding Standard's labels).  Where browsers and the
// standards differ on a charset iconv knows (Latin-1 read as Windows-1252,
// say), it is read by its standard: those differ only in controls.
struct Alias {
	string_view label, name;
};
constexpr Alias kAliases[] = {
	{"unicode-1-1-utf-8", "UTF-8"}, {"unicode11utf8", "UTF-8"}, {"unicode20utf8", "UTF-8"},
	{"x-unicode20utf8", "UTF-8"},
	{"cswindows1252", "WINDOWS-1252"}, {"x-cp1250", "WINDOWS-1250"}, {"x-cp1251", "WINDOWS-1251"},
	{"x-cp1252", "WINDOWS-1252"}, {"x-cp1253", "WINDOWS-1253"}, {"x-cp1254", "WINDOWS-1254"},
	{"x-cp1255", "WINDOWS-1255"}, {"x-cp1256", "WINDOWS-1256"}, {"x-cp1257", "WINDOWS-1257"},
	{"x-cp1258", "WINDOWS-1258"}, {"dos-874", "WINDOWS-874"},
	{"csiso88598i", "ISO-8859-8"}, {"iso-8859-8-i", "ISO-8859-8"}, {"logical", "ISO-8859-8"},
	{"csisolatin9", "ISO-8859-15"}, {"l9", "ISO-8859-15"},
	{"x-mac-roman", "MACINTOSH"},
	// Supersets of what the label names, as their writers use them.
	{"chinese", "GBK"}, {"csgb2312", "GBK"}, {"csiso58gb231280", "GBK"}, {"gb2312", "GBK"},
	{"gb_2312", "GBK"}, {"gb_2312-80", "GBK"}, {"iso-ir-58", "GBK"}, {"x-gbk", "GBK"},
	{"big5", "BIG5-HKSCS"}, {"cn-big5", "BIG5-HKSCS"}, {"csbig5", "BIG5-HKSCS"}, {"x-x-big5", "BIG5-HKSCS"},
	{"x-euc-jp", "EUC-JP"},
	{"csshiftjis", "CP932"}, {"ms932", "CP932"}, {"ms_kanji", "CP932"}, {"shift-jis", "CP932"},
	{"shift_jis", "CP932"}, {"sjis", "CP932"}, {"windows-31j", "CP932"}, {"x-sjis", "CP932"},
	{"cseuckr", "CP949"}, {"csksc56011987", "CP949"}, {"euc-kr", "CP949"}, {"iso-ir-149", "CP949"},
	{"korean", "CP949"}, {"ks_c_5601-1987", "CP949"}, {"ks_c_5601-1989", "CP949"}, {"ksc5601", "CP949"},
	{"ksc_5601", "CP949"}, {"windows-949", "CP949"},
};

// A label in lower case, in place.
struct Label {
	std::array<char, kCharsetNameChars> text;
	std::size_t size;

	explicit Label(string_view name) : size(name.size())
	{
		for (std::size_t i = 0; i < size; ++i)
			text[i] = static_cast<char>(name[i] >= 'A' && name[i] <= 'Z' ? name[i] - 'A' + 'a' : name[i]);
	}
	string_view view() const { return {text.data(), size}; }
};

// Labels are looked up without making a string of each.
struct LabelHash {
	using is_transparent = void;
	std::size_t operator()(string_view s) const { return std::hash<string_view>{}(s); }
};

string_view iconvName(string_view label)
{
	for (const Alias &a : kAliases)
		if (a.label == label)
			return a.name;
	return label;
}

struct Converter {
	~Converter()
	{
		if (cd != kNoConverter)
			iconv_close(cd);
	}
	iconv_t cd = kNoConverter;
};

// A byte's UTF-8, its length first; length 0 where the byte stands for
// nothing.
using TableEntry = std::array<char, 1 + kTableEntryBytes>;

} // namespace

struct Charset {
	enum class Kind { utf8, table, iconv } kind;
	Converter converter;                   // for iconv
	std::array<TableEntry, 256> table{};   // for a single-byte charset
	// For iconv: the bytes of its smallest unit (2 for UTF-16, 4 for
	// UTF-32), stepped over where a unit is invalid; and whether it holds
	// a letter back for a mark that may follow (Windows-1255, -1258), to
	// be let out before a U+FFFD, not after.
	std::size_t unit = 1;
	bool holdsBack = false;
};

namespace {

// Lets out what the converter holds, which also sets it to its initial
// state.
void flush(iconv_t cd, string &out)
{
	std::array<char, 64> buf;
	char *o = buf.data();
	std::size_t outLeft = buf.size();
	iconv(cd, nullptr, nullptr, &o, &outLeft);
	out.append(buf.data(), static_cast<std::size_t>(o - buf.data()));
}

// The UTF-8 that iconv makes of bytes; what it cannot convert is U+FFFD,
// a unit at a time.
void convertByIconv(const Charset &c, string_view bytes, string &out)
{
	const iconv_t cd = c.converter.cd;
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
		if (c.holdsBack)
			flush(cd, out);
		out += kReplacement;
		if (errno != EILSEQ || inLeft == 0)
			break; // an incomplete character at the end
		const std::size_t step = std::min(c.unit, inLeft); // a unit that starts no character
		in += step;
		inLeft -= step;
	}
	flush(cd, out); // back to the initial state
}

// What a few bytes convert to from the initial state: what comes at once,
// and then what a flush lets out.
struct Alone {
	bool converted = false; // all of them, without an error
	int error = 0;          // errno when not
	std::array<char, 16> out;
	std::size_t atOnce = 0, length = 0; // bytes out before the flush, and after
};

Alone convertAlone(iconv_t cd, string_view bytes)
{
	Alone a;
	iconv(cd, nullptr, nullptr, nullptr, nullptr);
	char *in = const_cast<char *>(bytes.data()); // iconv does not write it
	std::size_t inLeft = bytes.size();
	char *o = a.out.data();
	std::size_t outLeft = a.out.size();
	a.converted = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1);
	a.error = a.converted ? 0 : errno;
	a.atOnce = static_cast<std::size_t>(o - a.out.data());
	iconv(cd, nullptr, nullptr, &o, &outLeft);
	a.length = static_cast<std::size_t>(o - a.out.data());
	return a;
}

// The smallest unit: as many NUL bytes as make a character.
std::size_t unitOf(iconv_t cd)
{
	for (std::size_t n : {1, 2, 4}) {
		const Alone a = convertAlone(cd, string_view("\0\0\0\0", n));
		if (a.converted && a.atOnce > 0)
			return n;
	}
	return 1;
}

// Whether some byte converts to nothing until the converter is flushed.
bool holdsBack(iconv_t cd)
{
	for (unsigned byte = 0; byte < 256; ++byte) {
		const char in = static_cast<char>(byte);
		const Alone a = convertAlone(cd, string_view(&in, 1));
		if (a.converted && a.atOnce == 0 && a.length > 0)
			return true;
	}
	return false;
}

// Makes the table of a charset whose every byte stands alone: each
// converts to a character or two by itself, or is invalid by itself.  A
// byte that leaves iconv waiting for more, or converts to nothing, tells of
// a charset of several bytes, or with a state.
bool makeTable(Charset &c)
{
	for (unsigned byte = 0; byte < 256; ++byte) {
		const char in = static_cast<char>(byte);
		const Alone a = convertAlone(c.converter.cd, string_view(&in, 1));
		if (!a.converted && a.error != EILSEQ)
			return false;
		if (a.length != a.atOnce || a.length > kTableEntryBytes || (a.converted && a.length == 0))
			return false;
		string valid;
		appendValidUtf8(valid, string_view(a.out.data(), a.length));
		if (valid.size() != a.length)
			return false;
		c.table[byte][0] = static_cast<char>(a.length);
		std::copy(a.out.begin(), a.out.begin() + static_cast<long>(a.length), c.table[byte].begin() + 1);
	}
	return true;
}

std::unique_ptr<Charset> openCharset(const string &name)
{
	auto c = std::make_unique<Charset>();
	if (name == "UTF-8" || name == "utf-8" || name == "utf8") {
		c->kind = Charset::Kind::utf8;
		return c;
	}
	c->converter.cd = iconv_open("UTF-8", name.c_str());
	if (c->converter.cd == kNoConverter)
		return nullptr;
	c->kind = makeTable(*c) ? Charset::Kind::table : Charset::Kind::iconv;
	if (c->kind == Charset::Kind::iconv) {
		c->unit = unitOf(c->converter.cd);
		c->holdsBack = holdsBack(c->converter.cd);
	}
	return c;
}

// The charsets opened, by the name iconv was asked for; the labels found
// to stand for them; the labels found to stand for none.
std::unordered_map<string, std::unique_ptr<Charset>> opened;
std::unordered_map<string, const Charset *, LabelHash, std::equal_to<>> labels;
std::unordered_set<string, LabelHash, std::equal_to<>> unknown;

bool sameLabel(string_view a, string_view b)
{
	return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
		       return (x >= 'A' && x <= 'Z' ? x - 'A' + 'a' : x) == y;
	       });
}

// Whether a name is made of what charsets' names are: iconv reads a name
// loosely (it drops what follows a "/" or a ",", and other punctuation),
// so that endless names would each open a converter of their own.
bool plainName(string_view name)
{
	return std::all_of(name.begin(), name.end(), [](char ch) {
		const auto c = static_cast<unsigned char>(ch);
		return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
		       c == ':' || c == '_' || c == '-';
	});
}

// The last label found: the words of a field, and of the next, are most
// often in one charset.
string lastLabel;
const Charset *lastCharset = nullptr;

} // namespace

const Charset *findCharset(string_view name)
{
	if (lastCharset && sameLabel(name, lastLabel))
		return lastCharset;
	if (name.empty() || name.size() > kCharsetNameChars || !plainName(name))
		return nullptr;
	const Label lower(name);
	const string_view label = lower.view();
	if (auto found = labels.find(label); found != labels.end()) {
		lastLabel = label;
		lastCharset = found->second;
		return lastCharset;
	}
	if (unknown.find(label) != unknown.end())
		return nullptr;
	const string asked(iconvName(label));
	auto at = opened.find(asked);
	if (at == opened.end() && opened.size() < kKeptCharsets) {
		if (auto charset = openCharset(asked))
			at = opened.emplace(asked, std::move(charset)).first;
	}
	if (at == opened.end()) {
		if (unknown.size() < kRememberedUnknownNames)
			unknown.emplace(label);
		return nullptr;
	}
	lastLabel = label;
	lastCharset = at->second.get();
	return labels.emplace(label, lastCharset).first->second;
}

// What iconv makes is not always valid UTF-8: glibc passes the five- and
// six-byte forms of old through from UTF-8.  So it is checked again.
void appendInUtf8(const Charset &charset, string_view bytes, string &out)
{
	switch (charset.kind) {
	case Charset::Kind::utf8:
		appendValidUtf8(out, bytes);
		return;
	case Charset::Kind::table:
		for (char byte : bytes) {
			const TableEntry &e = charset.table[static_cast<unsigned char>(byte)];
			if (e[0] == 0)
				out += kReplacement;
			else
				out.append(e.data() + 1, static_cast<std::size_t>(e[0]));
		}
		return;
	case Charset::Kind::iconv: {
		string converted;
		convertByIconv(charset, bytes, converted);
		appendValidUtf8(out, converted);
		return;
	}
	}
}
