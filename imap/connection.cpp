#include "imap/connection.h"
#include "imap/parse.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <poll.h>

using std::string;

namespace {

static_assert(CURL_ERROR_SIZE <= 256);

// All the responses to one command, or all the news of one IDLE, as held
// bytes count them, whether kept or skipped: a batch of headers is tens of
// kilobytes; a server that sends far more is flooding.
constexpr std::size_t kMaxCommandBytes = 4 * kMaxResponseBytes;
constexpr char kFlooding[] = "the server sent more than any answer needs";
constexpr char kBroken[] = "the server sent what no IMAP server may";
// Reads of a server's news while idling, before requests are looked at.
constexpr int kIdleReadsAtOnce = 16;

bool isAscii(const string &s)
{
	return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The ways of logging in that a login may take, and whether the server
// offers one of them.
struct Offer {
	std::array<const char *, 2> mechanisms;
	bool offered = false;
};
constexpr std::array<const char *, 2> kPasswordMechanisms{" AUTH=PLAIN", " AUTH=LOGIN"};
constexpr std::array<const char *, 2> kTokenMechanisms{" AUTH=OAUTHBEARER", " AUTH=XOAUTH2"};

// Whether the server offers a way to take the credentials (libcurl shows
// the server's lines to a debug function only): a server's line, and
// never what the helper sends.  Only its capabilities count, the latest
// (after STARTTLS, those of before are void), word by word and as libcurl
// reads them, so that what is told is what libcurl did.
int heardFromServer(CURL *, curl_infotype type, char *data, std::size_t size, void *offer)
{
	if (type != CURLINFO_HEADER_IN)
		return 0;
	const string line(data, size);
	if (line.find(" CAPABILITY ") == string::npos && line.find("[CAPABILITY ") == string::npos)
		return 0;
	auto &o = *static_cast<Offer *>(offer);
	o.offered = false;
	for (const char *mechanism : o.mechanisms)
		for (auto at = line.find(mechanism); at != string::npos; at = line.find(mechanism, at + 1)) {
			const auto end = at + std::strlen(mechanism);
			if (end == line.size() || line[end] == ' ' || line[end] == '\r' || line[end] == '\n' || line[end] == ']')
				o.offered = true;
		}
	return 0;
}

CURL *handle(CurlHandle *h)
{
	return static_cast<CURL *>(h);
}

// libcurl's memory, wiped as it is given back: it holds copies of the
// password or token, and of the login lines that carry them.
void wipeAndFree(void *p)
{
	if (!p)
		return;
	explicit_bzero(p, malloc_usable_size(p));
	std::free(p);
}

void *wipingRealloc(void *p, std::size_t size)
{
	if (!p)
		return std::malloc(size);
	if (size == 0) {
		wipeAndFree(p);
		return nullptr;
	}
	const std::size_t had = malloc_usable_size(p);
	if (size <= had)
		return p;
	void *moved = std::malloc(size);
	if (!moved)
		return nullptr;
	std::memcpy(moved, p, std::min(had, size));
	wipeAndFree(p);
	return moved;
}

} // namespace

bool startCurl()
{
	return curl_global_init_mem(CURL_GLOBAL_DEFAULT, std::malloc, wipeAndFree, wipingRealloc, strdup, std::calloc) ==
	       CURLE_OK;
}

Connection::~Connection()
{
	close();
}

void Connection::close()
{
	if (curl_) {
		curl_easy_cleanup(handle(curl_));
		lastLifetime_ = std::chrono::steady_clock::now() - openedAt_;
	}
	curl_ = nullptr;
	reader_ = ResponseReader{};
	idleTag_.clear();
}

bool Connection::open(const MailboxUrl &url, const string &secret, bool token, const string &caFile,
                      std::chrono::seconds timeout, string &why)
{
	timeout_ = timeout;
	tokenRefused_ = false;
	close();
	CURL *curl = curl_easy_init();
	if (!curl) {
		why = "cannot start libcurl";
		return false;
	}
	const string address = string(url.tls ? "imaps://" : "imap://") + url.host + ":" + std::to_string(url.port) + "/";
	curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
	curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "imap,imaps");
	curl_easy_setopt(curl, CURLOPT_USERNAME, url.user.c_str());
	curl_easy_setopt(curl, token ? CURLOPT_XOAUTH2_BEARER : CURLOPT_PASSWORD, secret.c_str());
	// imap:// goes on only once STARTTLS has made it TLS: no credential is
	// ever sent in clear.  Verification of the chain and the host name is
	// libcurl's default, and stays so.
	curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
	if (!caFile.empty())
		curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
	// LOGIN would send 8-bit bytes in a quoted string, which IMAP does not
	// allow: such a password or name goes by SASL only, or not at all.  A
	// token goes by its own two mechanisms only; libcurl prefers
	// OAUTHBEARER of the two.
	const bool eightBit = !token && (!isAscii(secret) || !isAscii(url.user));
	Offer offer{token ? kTokenMechanisms : kPasswordMechanisms};
	if (eightBit || token) {
		curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, token ? "AUTH=OAUTHBEARER;AUTH=XOAUTH2" : "AUTH=PLAIN;AUTH=LOGIN");
		curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, heardFromServer);
		curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &offer);
		curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
	}
	curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline() - std::chrono::steady_clock::now());
	if (left.count() <= 0) {
		why = "the server took too long";
		curl_easy_cleanup(curl);
		return false;
	}
	curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(left.count()));
	curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
	curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
	error_[0] = '\0';
	curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_.data());
	const CURLcode code = curl_easy_perform(curl);
	if (code != CURLE_OK) {
		why = error_[0] ? error_.data() : curl_easy_strerror(code);
		if (code == CURLE_LOGIN_DENIED && eightBit && !offer.offered)
			why = "the password or user name has 8-bit characters, which this server would take by LOGIN only, "
			      "where they cannot go; nothing was sent";
		if (code == CURLE_LOGIN_DENIED && token) {
			tokenRefused_ = offer.offered;
			why = offer.offered ? "the server refused the OAuth 2.0 token"
			                    : "the server offers neither OAUTHBEARER nor XOAUTH2, the ways an OAuth 2.0 "
			                      "token can go; nothing was sent";
		}
		curl_easy_cleanup(curl);
		return false;
	}
	curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
	curl_ = curl;
	openedAt_ = std::chrono::steady_clock::now();
	misbehaved_ = false;
	return true;
}

std::chrono::steady_clock::time_point Connection::deadline() const
{
	return std::min(std::chrono::steady_clock::now() + timeout_, requestEnd_);
}

bool Connection::waitFor(short events, std::chrono::steady_clock::time_point until) const
{
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
	pollfd p{socket(), events, 0};
	return p.fd >= 0 && left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0;
}

// Sends, or closes the connection and says why.
bool Connection::send(const string &bytes, string &why)
{
	const auto until = deadline();
	for (std::size_t done = 0; done < bytes.size();) {
		std::size_t n = 0;
		const CURLcode code = curl_easy_send(handle(curl_), bytes.data() + done, bytes.size() - done, &n);
		if (code == CURLE_AGAIN) {
			if (!waitFor(POLLOUT, until)) {
				why = "the server takes nothing";
				close();
				return false;
			}
			continue;
		}
		if (code != CURLE_OK) {
			why = curl_easy_strerror(code);
			close();
			return false;
		}
		done += n;
	}
	return true;
}

// What the server has sent, into the reader, without waiting.
Connection::Read Connection::readSome(string &why)
{
	std::array<char, 16384> buf;
	std::size_t n = 0;
	const CURLcode code = curl_easy_recv(handle(curl_), buf.data(), buf.size(), &n);
	if (code == CURLE_AGAIN)
		return Read::nothing;
	if (code != CURLE_OK || n == 0) {
		why = code != CURLE_OK ? curl_easy_strerror(code) : "the server closed the connection";
		close();
		return Read::closed;
	}
	reader_.feed({buf.data(), n});
	return Read::some;
}

// The next response, or the connection closed and why.  The time limit
// holds however fast bytes come: a server that sends without end is
// stopped as surely as one that sends nothing.
bool Connection::receive(Response &out, string &why)
{
	const auto until = deadline();
	for (;;) {
		if (std::chrono::steady_clock::now() >= until) {
			why = "the server did not answer";
			close();
			return false;
		}
		switch (reader_.next(out)) {
		case ResponseReader::Result::response:
			return true;
		case ResponseReader::Result::broken:
			drop(reader_.flooded() ? kFlooding : kBroken, why);
			return false;
		case ResponseReader::Result::none:
			break;
		}
		switch (readSome(why)) {
		case Read::some:
			continue;
		case Read::nothing:
			if (!waitFor(POLLIN, until)) {
				why = "the server did not answer";
				close();
				return false;
			}
			continue;
		case Read::closed:
			return false;
		}
	}
}

// b1, b2, ...: never the A001 of libcurl's own commands.
string Connection::nextTag()
{
	string tag = "b";
	tag += std::to_string(++tag_);
	return tag;
}

int Connection::socket() const
{
	curl_socket_t s = CURL_SOCKET_BAD;
	if (!curl_ || curl_easy_getinfo(handle(curl_), CURLINFO_ACTIVESOCKET, &s) != CURLE_OK || s == CURL_SOCKET_BAD)
		return -1;
	return static_cast<int>(s);
}

bool Connection::startIdle(string &why)
{
	const string tag = nextTag();
	if (!curl_ || !send(tag + " IDLE\r\n", why))
		return false;
	for (std::size_t held = 0;;) {
		Response r;
		if (!receive(r, why) || !count(r, held, why))
			return false;
		if (r.tag == "+") {
			idleTag_ = tag;
			idleHeld_ = 0;
			return true;
		}
		if (r.tag == tag) { // refused
			why = "the server refused IDLE: " + r.text;
			return false;
		}
	}
}

namespace {

// An untagged response that tells of a change of the folder's messages.
bool tellsOfChange(const Response &r)
{
	const auto space = r.text.find(' ');
	if (space == string::npos)
		return false;
	string word = r.text.substr(space + 1);
	word.resize(std::min(word.find(' '), word.size()));
	for (char &c : word)
		c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
	return word == "EXISTS" || word == "EXPUNGE" || word == "FETCH" || word == "RECENT";
}

} // namespace

bool Connection::takeIdleNews(bool &changed, string &why)
{
	changed = false;
	// A server that sends without pause must not keep the helper from
	// its requests: what is left is read when the socket is next ready,
	// and what has been read is taken apart first.
	for (int reads = 0;;) {
		Response r;
		const auto result = reader_.next(r);
		if (result == ResponseReader::Result::response) {
			if (!count(r, idleHeld_, why))
				return false;
			if (r.tag == "*")
				changed = changed || tellsOfChange(r);
			else if (r.tag == idleTag_) { // ended by the server
				idleTag_.clear();
				return true;
			}
			continue;
		}
		if (result == ResponseReader::Result::broken) {
			drop(reader_.flooded() ? kFlooding : kBroken, why);
			return false;
		}
		if (reads++ == kIdleReadsAtOnce)
			return true;
		const Read read = readSome(why);
		if (read != Read::some)
			return read == Read::nothing; // all there is for now, or trouble
	}
}

bool Connection::stopIdle(string &why)
{
	if (idleTag_.empty())
		return true;
	const string tag = idleTag_;
	idleTag_.clear();
	if (!send("DONE\r\n", why))
		return false;
	for (std::size_t held = 0;;) {
		Response r;
		if (!receive(r, why) || !count(r, held, why))
			return false;
		if (r.tag == tag)
			return true;
	}
}

// Adds what a response held to held; false, with the connection closed,
// past what any answer needs.
bool Connection::count(const Response &r, std::size_t &held, string &why)
{
	held += heldBytes(r);
	if (held <= kMaxCommandBytes)
		return true;
	drop(kFlooding, why);
	return false;
}

// Closes the connection for what the server sent, and says so.
void Connection::drop(const char *why, string &reason)
{
	reason = why;
	close();
	misbehaved_ = true;
}

string Connection::command(const string &text, const Untagged &untagged, string &why)
{
	if (!curl_) {
		why = "not connected";
		return "";
	}
	const string tag = nextTag();
	if (!send(tag + " " + text + "\r\n", why))
		return "";
	for (std::size_t held = 0;;) {
		Response r;
		if (!receive(r, why) || !count(r, held, why))
			return "";
		if (r.tag == tag) {
			string c = condition(r);
			if (c.empty())
				drop(kBroken, why);
			else if (c != "OK")
				why = r.text;
			return c;
		}
		if (r.tag == "*")
			untagged(std::move(r));
		else if (r.tag != "+") {
			drop("the server answered a command it was not given", why);
			return "";
		}
	}
}
