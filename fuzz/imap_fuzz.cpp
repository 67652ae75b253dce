// The IMAP helper's response reader and parsers on arbitrary server bytes,
// fed in pieces of every size.
#include "fuzz/input.h"
#include "imap/parse.h"
#include "imap/reader.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const std::size_t chunk = 1 + takeByte(data, size);
	ResponseReader reader;
	for (std::size_t at = 0; at < size; at += chunk) {
		reader.feed({reinterpret_cast<const char *>(data) + at, std::min(chunk, size - at)});
		Response r;
		ResponseReader::Result result;
		while ((result = reader.next(r)) == ResponseReader::Result::response) {
			if (r.tag.empty() || heldBytes(r) > kMaxResponseBytes)
				std::abort();
			for (const auto &literal : r.literals)
				if (literal.size() > kMaxLiteralBytes)
					std::abort();
			parseStatus(r);
			parseSearch(r);
			if (auto f = parseFetch(r); f && f->flags.size() > 3)
				std::abort();
			condition(r);
		}
		if (result == ResponseReader::Result::broken)
			return 0;
	}
	return 0;
}
