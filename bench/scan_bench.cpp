// Times parseMailbox() on a large generated mbox beside grep and wc on the
// same file, warm in the page cache, and reports the scan's peak memory;
// and on a generated Maildir and MH folder beside the mail readers' own
// scanners; and what a rescan and a poll of a large mbox cost.
//
//   scan_bench generate FILE MEGABYTES
//   scan_bench time FILE
//   scan_bench generate-folders DIR MESSAGES
//   scan_bench time-folders DIR
//   scan_bench time-international WORDS-MBOX ASCII-MBOX
//   scan_bench time-rescan FILE
//   scan_bench time-delivery DIR
//   scan_bench time-poll FILE
#include "scanner/scanner.h"
#include "scanner/stamp.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using std::string;

namespace {

// xorshift64*: the same mailbox on every machine.
struct Random {
	std::uint64_t state = 0x9E3779B97F4A7C15ull;
	std::uint64_t next()
	{
		state ^= state >> 12;
		state ^= state << 25;
		state ^= state >> 27;
		return state * 2685821657736338717ull;
	}
	std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
	bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
};

const char *const kWords[] = {
	"the", "mail", "server", "report", "meeting", "please", "review", "attached", "quarter",
	"budget", "release", "notes", "thanks", "regards", "tomorrow", "update", "deadline", "build",
	"patch", "question", "about", "your", "order", "shipping", "invoice", "project", "status",
	"a", "of", "and", "to", "in", "is", "for", "on", "with", "that", "this", "we", "you",
};
const char *const kNames[] = {"Alice Archer", "Bob Baker", "Carol Chen", "Dan Duarte", "Eve Evans",
                              "Frank Fischer", "Grace Gomez", "Heidi Hansen", "Ivan Ivanov", "Judy Jones"};

string words(Random &r, std::size_t length)
{
	string s;
	while (s.size() < length) {
		if (!s.empty())
			s += ' ';
		s += kWords[r.below(std::size(kWords))];
	}
	return s;
}

string address(Random &r)
{
	string name = kNames[r.below(std::size(kNames))];
	string user = name.substr(0, name.find(' '));
	for (char &c : user)
		c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
	return user + std::to_string(r.below(100)) + "@example" + std::to_string(r.below(20)) + ".org";
}

void appendMessage(Random &r, string &out, int number)
{
	string from = address(r);
	out += "From " + from + " Mon Dec  7 10:" + std::to_string(10 + r.below(50)) + ":00 2026\n";
	for (std::size_t hops = 2 + r.below(5); hops > 0; --hops) {
		out += "Received: from mx" + std::to_string(r.below(90)) + ".example.net (mx.example.net [192.0.2." +
		       std::to_string(r.below(250)) + "])\n\tby mail.example.org (Postfix) with ESMTPS id " +
		       std::to_string(r.next() % 100000000) + "\n\tfor <user@example.org>; Mon, 7 Dec 2026 10:00:00 +0000 (UTC)\n";
		if (r.chance(30)) // a long unfolded trace line
			out += "Received: " + words(r, 150 + r.below(250)) + "\n";
	}
	out += "Message-ID: <" + std::to_string(r.next()) + "." + std::to_string(number) + "@example.org>\n";
	out += "Date: Mon, 7 Dec 2026 10:00:00 +0000\n";
	if (r.chance(20))
		out += "From: =?iso-8859-1?q?Jos=E9_" + std::to_string(number) + "?= <" + from + ">\n";
	else
		out += "From: " + string(kNames[r.below(std::size(kNames))]) + " <" + from + ">\n";
	out += "To: user@example.org\n";
	if (r.chance(10))
		out += "Subject: =?iso-8859-1?q?R=E9union_" + words(r, 20) + "?=\n";
	else
		out += "Subject: " + words(r, 10 + r.below(60)) + "\n";
	out += "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n";
	if (r.chance(50))
		out += "X-Spam-Report: " + words(r, 300 + r.below(300)) + "\n";
	if (!r.chance(5)) // 5 % new
		out += r.chance(50) ? "Status: RO\n" : "Status: O\n";
	out += "\n";

	// Bodies from a few lines to large attachments.
	std::size_t bodyBytes = r.chance(10) ? 20000 + r.below(60000) : 300 + r.below(6000);
	std::size_t end = out.size() + bodyBytes;
	bool base64 = bodyBytes > 20000 && r.chance(60);
	while (out.size() < end) {
		if (base64) {
			for (int i = 0; i < 76; ++i)
				out += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[r.below(64)];
			out += '\n';
			continue;
		}
		switch (r.below(20)) {
		case 0:
			out += "\n";
			break;
		case 1: // an HTML or quoted line over one piece
			out += "<p>" + words(r, 160 + r.below(400)) + "</p>\n";
			break;
		case 2:
			out += ">From the archive: " + words(r, 40) + "\n";
			break;
		default:
			out += (r.chance(20) ? "> " : "") + words(r, 20 + r.below(55)) + "\n";
		}
	}
	out += "\n";
}

int generate(const char *path, long megabytes)
{
	FILE *f = std::fopen(path, "w");
	if (!f) {
		std::perror(path);
		return 1;
	}
	Random r;
	const std::size_t total = static_cast<std::size_t>(megabytes) << 20;
	std::size_t written = 0;
	int messages = 0;
	string chunk;
	while (written < total) {
		chunk.clear();
		while (chunk.size() < (1u << 20))
			appendMessage(r, chunk, ++messages);
		std::fwrite(chunk.data(), 1, chunk.size(), f);
		written += chunk.size();
	}
	if (std::fclose(f) != 0) {
		std::perror(path);
		return 1;
	}
	std::printf("%s: %zu bytes, %d messages\n", path, written, messages);
	return 0;
}

double seconds(std::chrono::steady_clock::duration d)
{
	return std::chrono::duration<double>(d).count();
}

// Best wall time of a few runs of a shell command.
double timeCommand(const string &command)
{
	double best = 1e9;
	for (int run = 0; run < 5; ++run) {
		auto start = std::chrono::steady_clock::now();
		if (std::system(command.c_str()) != 0)
			std::fprintf(stderr, "failed: %s\n", command.c_str());
		best = std::min(best, seconds(std::chrono::steady_clock::now() - start));
	}
	return best;
}

struct ScanRun {
	double seconds;
	long peakKilobytes;
	int count;
};

// One scan in a child of its own, so that its peak memory is its own.
ScanRun timeScan(const char *path, int flags, int capacity = 32000)
{
	int fds[2];
	if (pipe(fds) != 0)
		std::exit(1);
	auto start = std::chrono::steady_clock::now();
	pid_t child = fork();
	if (child == 0) {
		// Left as it comes, as the watcher's buffer is: only what a scan
		// writes is touched.
		std::unique_ptr<char[]> summary(new char[static_cast<std::size_t>(capacity)]);
		int count = parseMailbox(path, summary.get(), capacity, flags);
		if (write(fds[1], &count, sizeof count) != sizeof count)
			_exit(1);
		_exit(0);
	}
	int count = 0;
	rusage usage{};
	int status;
	if (read(fds[0], &count, sizeof count) != sizeof count || wait4(child, &status, 0, &usage) != child)
		std::exit(1);
	close(fds[0]);
	close(fds[1]);
	return {seconds(std::chrono::steady_clock::now() - start), usage.ru_maxrss, count};
}

ScanRun bestScan(const char *path, int flags, int capacity = 32000)
{
	ScanRun best{1e9, 0, 0};
	for (int run = 0; run < 5; ++run) {
		ScanRun r = timeScan(path, flags, capacity);
		if (r.seconds < best.seconds)
			best = r;
	}
	return best;
}

int timeAll(const char *path)
{
	const int flags = SCAN_NEW_ONLY | SCAN_MIME;
	timeScan(path, flags); // warm the page cache
	const ScanRun best = bestScan(path, flags);
	const ScanRun international = bestScan(path, flags | SCAN_UTF8);
	string quoted = string("'") + path + "'";
	// grep's output goes to a file: GNU grep stops at the first match
	// when it writes to /dev/null.
	double grep = timeCommand("grep -c '^From ' " + quoted + " > " + quoted + ".grep");
	double wc = timeCommand("wc -l " + quoted + " > " + quoted + ".wc");
	ScanRun small = timeScan("/dev/null", flags);
	std::printf("new messages      %d\n", best.count);
	std::printf("parseMailbox      %.3f s  (peak RSS %ld KB; %ld KB for an empty scan)\n", best.seconds,
	            best.peakKilobytes, small.peakKilobytes);
	std::printf("grep -c '^From '  %.3f s\n", grep);
	std::printf("wc -l             %.3f s\n", wc);
	std::printf("scan / grep       %.2f  (target <= 0.5)\n", best.seconds / grep);
	std::printf("scan / wc -l      %.2f  (target <= 3)\n", best.seconds / wc);
	std::printf("with SCAN_UTF8    %.3f s  (peak RSS %ld KB, %d new messages)\n", international.seconds,
	            international.peakKilobytes, international.count);
	std::printf("UTF-8 / plain     %.2f  (target <= 1.2)\n", international.seconds / best.seconds);
	return 0;
}

// The international list against the plain one on mail whose senders and
// subjects are encoded words in many charsets (or, for comparison, plain
// ASCII), every message listed: with the default summary, and with one
// that holds every line.
int timeInternational(const char *words, const char *ascii)
{
	constexpr int kEveryLine = 64 << 20;
	for (const char *path : {words, ascii}) {
		const int plain = SCAN_MIME;
		timeScan(path, plain); // warm the page cache
		std::printf("%s\n", path);
		for (int capacity : {32000, kEveryLine}) {
			const ScanRun p = bestScan(path, plain, capacity);
			const ScanRun u = bestScan(path, plain | SCAN_UTF8, capacity);
			std::printf("  summary of %d bytes: %d messages\n", capacity, p.count);
			std::printf("    SCAN_MIME              %.3f s\n", p.seconds);
			std::printf("    SCAN_MIME|SCAN_UTF8    %.3f s  (peak RSS %ld KB)\n", u.seconds, u.peakKilobytes);
			std::printf("    UTF-8 / plain          %.2f  (target <= %s)\n", u.seconds / p.seconds,
			            capacity == kEveryLine ? "1.5" : "1.2");
		}
	}
	return 0;
}

// The messages of the mbox benchmark, one a file: a Maildir with a tenth
// of them new and the rest read, and an MH folder of them all, set up for
// nmh's scan.
int generateFolders(const string &dir, int messages)
{
	const string maildir = dir + "/Maildir", mh = dir + "/Mail/inbox";
	for (const string &sub : {maildir + "/cur", maildir + "/new", maildir + "/tmp", mh})
		if (std::system(("mkdir -p '" + sub + "'").c_str()) != 0)
			return 1;
	Random r;
	for (int n = 1; n <= messages; ++n) {
		string message;
		appendMessage(r, message, n);
		message.erase(0, message.find('\n') + 1); // no "From " line in a folder
		const string name = std::to_string(1700000000 + n) + ".M" + std::to_string(n) + "P1.bench";
		const string path = n % 10 == 0 ? maildir + "/new/" + name : maildir + "/cur/" + name + ":2,S";
		for (const string &file : {path, mh + "/" + std::to_string(n)}) {
			FILE *f = std::fopen(file.c_str(), "w");
			if (!f || std::fwrite(message.data(), 1, message.size(), f) != message.size() || std::fclose(f) != 0) {
				std::perror(file.c_str());
				return 1;
			}
		}
	}
	FILE *profile = std::fopen((dir + "/mh_profile").c_str(), "w");
	if (!profile)
		return 1;
	std::fprintf(profile, "Path: %s/Mail\n", dir.c_str());
	std::fclose(profile);
	std::printf("%s: %d messages in Maildir and in Mail/inbox\n", dir.c_str(), messages);
	return 0;
}

int timeFolders(const string &dir)
{
	const string maildir = dir + "/Maildir", mh = dir + "/Mail/inbox", out = "'" + dir + "/out'";
	// Every message is read, as the mail readers' scanners read them all.
	const int flags = SCAN_MIME;
	timeScan(maildir.c_str(), flags);
	const ScanRun md = bestScan(maildir.c_str(), flags);
	const ScanRun folder = bestScan(mh.c_str(), flags);
	const double mscan = timeCommand("mlist '" + maildir + "' | mscan > " + out);
	const double head = timeCommand("find '" + maildir + "/cur' '" + maildir + "/new' -type f -print0 | "
	                                "xargs -0 head -q -n 20 > " + out);
	const double scan = timeCommand("MH='" + dir + "/mh_profile' /usr/bin/mh/scan +inbox > " + out);
	std::printf("Maildir, %d messages listed\n", md.count);
	std::printf("  parseMailbox           %.3f s  (peak RSS %ld KB)\n", md.seconds, md.peakKilobytes);
	std::printf("  mlist | mscan          %.3f s\n", mscan);
	std::printf("  head -q -n 20          %.3f s\n", head);
	std::printf("  scan / mscan           %.2f  (target <= 0.5)\n", md.seconds / mscan);
	std::printf("  scan / head            %.2f  (target <= 1)\n", md.seconds / head);
	std::printf("MH folder, %d messages\n", folder.count);
	std::printf("  parseMailbox           %.3f s  (peak RSS %ld KB)\n", folder.seconds, folder.peakKilobytes);
	std::printf("  nmh scan               %.3f s\n", scan);
	std::printf("  scan / nmh scan        %.2f  (target <= 0.5)\n", folder.seconds / scan);
	return 0;
}

// Best and median of a number of timings, in seconds.
struct Timings {
	std::vector<double> runs;
	double best() const { return *std::min_element(runs.begin(), runs.end()); }
	double median() const
	{
		std::vector<double> sorted = runs;
		std::sort(sorted.begin(), sorted.end());
		return sorted[sorted.size() / 2];
	}
};

// A program run with its output thrown away, timed from its start to its
// end: no shell in between.
double timeProgram(const std::vector<string> &argv)
{
	auto start = std::chrono::steady_clock::now();
	pid_t child = fork();
	if (child == 0) {
		const int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		std::vector<char *> args;
		for (const string &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execvp(args[0], args.data());
		_exit(127);
	}
	int status = 0;
	waitpid(child, &status, 0);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		std::fprintf(stderr, "failed: %s\n", argv[0].c_str());
	return seconds(std::chrono::steady_clock::now() - start);
}

bool appendTo(const char *path, const string &bytes)
{
	const int fd = open(path, O_WRONLY | O_APPEND);
	const bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
	return close(fd) == 0 && written;
}

// A large mbox and one message delivered to it: the rescan that goes on
// from the last message against a whole scan, and against tail -c of the
// bytes appended, which is as little as reading them can cost.
int timeRescan(const char *path)
{
	const int flags = SCAN_NEW_ONLY | SCAN_MIME;
	constexpr int kCapacity = 32000;
	constexpr int kRuns = 21;
	struct stat st;
	if (stat(path, &st) != 0) {
		std::perror(path);
		return 1;
	}
	const off_t size = st.st_size;
	Random r;
	string delivery;
	appendMessage(r, delivery, 1);

	// The watcher's state after a whole scan, kept to start each run from.
	std::vector<char> summary(kCapacity), keptSummary;
	ScanMemory kept;
	timeScan(path, flags); // warm the page cache
	parseMailbox(path, summary.data(), kCapacity, flags, kept);
	keptSummary = summary;

	Timings rescan, tail;
	bool allIncremental = true;
	const string tailBytes = std::to_string(delivery.size());
	for (int run = 0; run < kRuns; ++run) {
		if (!appendTo(path, delivery))
			return 1;
		ScanMemory memory = kept;
		summary = keptSummary;
		auto start = std::chrono::steady_clock::now();
		parseMailbox(path, summary.data(), kCapacity, flags, memory);
		rescan.runs.push_back(seconds(std::chrono::steady_clock::now() - start));
		allIncremental = allIncremental && memory.incremental;
		tail.runs.push_back(timeProgram({"tail", "-c", tailBytes, path}));
		if (truncate(path, size) != 0)
			return 1;
	}
	if (!appendTo(path, delivery))
		return 1;
	const ScanRun whole = bestScan(path, flags);
	if (truncate(path, size) != 0)
		return 1;

	std::printf("%s: %lld bytes, one message of %zu bytes appended\n", path, static_cast<long long>(size),
	            delivery.size());
	std::printf("  whole scan             %.3f s\n", whole.seconds);
	std::printf("  rescan                 %.3f ms best, %.3f ms median%s  (target <= 5 ms)\n", 1e3 * rescan.best(),
	            1e3 * rescan.median(), allIncremental ? "" : " (NOT ALL INCREMENTAL)");
	std::printf("  tail -c %-14s %.3f ms best, %.3f ms median\n", tailBytes.c_str(), 1e3 * tail.best(),
	            1e3 * tail.median());
	std::printf("  rescan / tail -c       %.2f best, %.2f median  (target <= 2)\n", rescan.best() / tail.best(),
	            rescan.median() / tail.median());
	std::printf("  whole / rescan         %.0f\n", whole.seconds / rescan.median());
	std::printf("  state kept             %zu bytes\n", sizeof(ScanMemory) +
	            (kept.mbox ? kept.mbox->last.progress.whole.subject.capacity() : 0));
	return 0;
}

// A file's pages dropped from the page cache, so that it is next read from
// the disk.
bool dropCache(const char *path)
{
	const int fd = open(path, O_RDONLY);
	const bool dropped = fd >= 0 && fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
	return close(fd) == 0 && dropped;
}

double cpuSeconds()
{
	rusage usage{};
	getrusage(RUSAGE_SELF, &usage);
	return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
	       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What a poll of a large mbox costs the watcher: with nothing changed, a
// look (the mailbox's stamp, compared with the last); with a confirmation
// due, a whole read beside the list kept, compared with it.
int timePoll(const char *path)
{
	const int flags = SCAN_NEW_ONLY | SCAN_MIME;
	constexpr int kCapacity = 32000;
	constexpr int kLooks = 200000;
	constexpr int kRuns = 5;
	MailboxStamp taken;
	if (!stampMailbox(path, taken)) {
		std::perror(path);
		return 1;
	}
	int changes = 0;
	auto start = std::chrono::steady_clock::now();
	for (int look = 0; look < kLooks; ++look) {
		MailboxStamp now;
		changes += !stampMailbox(path, now) || now != taken || !settledBy(now, timeNow());
	}
	const double perLook = seconds(std::chrono::steady_clock::now() - start) / kLooks;

	std::vector<char> summary(kCapacity);
	ScanMemory memory;
	const int count = parseMailbox(path, summary.data(), kCapacity, flags, memory); // warms the page cache
	const auto confirm = [&](Timings &wall, Timings &cpu) {
		const auto started = std::chrono::steady_clock::now();
		const double cpuStarted = cpuSeconds();
		const string listed = summary.data();
		memory.mbox.reset();
		const int found = parseMailbox(path, summary.data(), kCapacity, flags, memory);
		const bool same = found == count && listed == summary.data();
		wall.runs.push_back(seconds(std::chrono::steady_clock::now() - started));
		cpu.runs.push_back(cpuSeconds() - cpuStarted);
		return same;
	};
	Timings warm, warmCpu, cold, coldCpu;
	bool allSame = true;
	for (int run = 0; run < kRuns; ++run)
		allSame = confirm(warm, warmCpu) && allSame;
	for (int run = 0; run < 2; ++run)
		allSame = dropCache(path) && confirm(cold, coldCpu) && allSame;
	parseMailbox(path, summary.data(), kCapacity, flags, memory); // leaves it cached again

	std::printf("%s: a poll\n", path);
	std::printf("  nothing changed        %.2f us a look (one stat)%s\n", 1e6 * perLook,
	            changes != 0 ? "  (CHANGES SEEN)" : "");
	std::printf("  confirming, cached     %.3f s best, %.3f s median; %.3f s of CPU\n", warm.best(), warm.median(),
	            warmCpu.median());
	std::printf("  confirming, from disk  %.3f s best; %.3f s of CPU%s\n", cold.best(), coldCpu.best(),
	            allSame ? "" : "  (A DIFFERENT LIST)");
	return 0;
}

// A message delivered to each folder of generate-folders: the rescan, as
// the watcher makes it with the default summary, listing new mail (the
// default) and all mail.
int timeDelivery(const string &dir)
{
	Random r;
	string delivery;
	appendMessage(r, delivery, 1);
	delivery.erase(0, delivery.find('\n') + 1);
	struct Folder {
		const char *what;
		string path, message;
	} folders[] = {
		{"Maildir", dir + "/Maildir", dir + "/Maildir/new/1900000000.M1P1.delivered"},
		{"MH folder", dir + "/Mail/inbox", dir + "/Mail/inbox/999999"},
	};
	for (const Folder &f : folders) {
		for (const int flags : {SCAN_NEW_ONLY | SCAN_MIME, SCAN_MIME}) {
			timeScan(f.path.c_str(), flags); // warm the page cache
			FILE *out = std::fopen(f.message.c_str(), "w");
			if (!out || std::fwrite(delivery.data(), 1, delivery.size(), out) != delivery.size() ||
			    std::fclose(out) != 0) {
				std::perror(f.message.c_str());
				return 1;
			}
			const ScanRun rescan = bestScan(f.path.c_str(), flags);
			std::remove(f.message.c_str());
			std::printf("%s, one message delivered, %s: %d messages\n", f.what,
			            flags & SCAN_NEW_ONLY ? "new mail" : "all mail", rescan.count);
			std::printf("  rescan                 %.3f s  (peak RSS %ld KB; target <= 0.100 s)\n",
			            rescan.seconds, rescan.peakKilobytes);
		}
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 4 && std::strcmp(argv[1], "generate") == 0)
		return generate(argv[2], std::atol(argv[3]));
	if (argc == 3 && std::strcmp(argv[1], "time") == 0)
		return timeAll(argv[2]);
	if (argc == 4 && std::strcmp(argv[1], "generate-folders") == 0)
		return generateFolders(argv[2], std::atoi(argv[3]));
	if (argc == 3 && std::strcmp(argv[1], "time-folders") == 0)
		return timeFolders(argv[2]);
	if (argc == 4 && std::strcmp(argv[1], "time-international") == 0)
		return timeInternational(argv[2], argv[3]);
	if (argc == 3 && std::strcmp(argv[1], "time-rescan") == 0)
		return timeRescan(argv[2]);
	if (argc == 3 && std::strcmp(argv[1], "time-delivery") == 0)
		return timeDelivery(argv[2]);
	if (argc == 3 && std::strcmp(argv[1], "time-poll") == 0)
		return timePoll(argv[2]);
	std::fprintf(stderr, "usage: %s generate FILE MEGABYTES | time FILE | generate-folders DIR MESSAGES | "
	                     "time-folders DIR | time-international WORDS-MBOX ASCII-MBOX | time-rescan FILE | "
	                     "time-delivery DIR | time-poll FILE\n", argv[0]);
	return 2;
}
