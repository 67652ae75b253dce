#include "tests/imap/dovecot.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using std::string;

namespace {

void shell(const string &command)
{
	if (std::system(command.c_str()) != 0)
		throw std::runtime_error("failed: " + command);
}

} // namespace

void makeCertificates(const TempDir &dir)
{
	const string d = dir.path();
	const string quiet = " 2>/dev/null";
	shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
	      "-subj '/CN=Boxwarden test CA'" + quiet);
	shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 "
	      "-subj '/CN=Another CA'" + quiet);
	shell("cd " + d + " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
	      "-subj '/CN=localhost'" + quiet);
	std::ofstream(dir.sub("ext.cnf")) << "subjectAltName=DNS:localhost\n";
	shell("cd " + d + " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
	      "-out server.pem -days 2 -extfile ext.cnf" + quiet);
}

int freePort()
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
		throw std::runtime_error("no free port");
	close(fd);
	return ntohs(a.sin_port);
}

bool listening(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
	close(fd);
	return ok;
}

namespace {

// The introspection server, once it listens: its pid, and its port.
pid_t startIntrospection(const TempDir &dir, int &port)
{
	std::ofstream(dir.sub("tokens")).close();
	const pid_t pid = fork();
	if (pid == 0) {
		const string out = dir.sub("introspection.out");
		freopen(out.c_str(), "a", stdout);
		freopen(out.c_str(), "a", stderr);
		execlp("python3", "python3", BOXWARDEN_INTROSPECTION, dir.sub("port").c_str(), dir.sub("tokens").c_str(),
		       dir.sub("asked").c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	for (int i = 0; i < 500 && !std::filesystem::exists(dir.sub("port")); ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	port = std::atoi(readFile(dir.sub("port")).c_str());
	if (port == 0)
		throw std::runtime_error("the introspection server did not start: " + readFile(dir.sub("introspection.out")));
	return pid;
}

} // namespace

Dovecot::Dovecot(const string &mechanisms)
{
	const string d = dir_.path();
	chmod(d.c_str(), 0755); // the dovecot user must reach it
	makeCertificates(dir_);
	caFile_ = dir_.sub("ca.pem");
	otherCaFile_ = dir_.sub("other.pem");
	imapsPort_ = freePort();
	imapPort_ = freePort();

	// As root the mail belongs to nobody; otherwise to whoever runs this,
	// who then runs every part of Dovecot too.
	const bool root = getuid() == 0;
	const passwd *owner = root ? getpwnam("nobody") : getpwuid(getuid());
	if (!owner)
		throw std::runtime_error("no user to own the mail");
	mkdir(dir_.sub("mail").c_str(), 0700);
	if (chown(dir_.sub("mail").c_str(), owner->pw_uid, owner->pw_gid) != 0)
		throw std::runtime_error("cannot give the mail folder away");
	std::ofstream users(dir_.sub("users"));
	for (const auto &[user, password] : {std::pair{kUser, kPassword}, std::pair{kEightBitUser, kEightBitPassword}})
		users << user << ":{PLAIN}" << password << ":" << owner->pw_uid << ":" << owner->pw_gid << "::" << d
		      << "/mail/" << user << "::\n";
	users.close();
	std::ofstream conf(dir_.sub("dovecot.conf"));
	conf << "base_dir = " << d << "/run\nstate_dir = " << d << "/state\ninstance_name = boxwarden-" << getpid()
	     << "-" << imapsPort_ << "\nlog_path = " << d << "/dovecot.log\ninfo_log_path = " << d
	     << "/dovecot.log\nauth_verbose = yes\nprotocols = imap\nlisten = 127.0.0.1\nssl = required\n"
	     << "ssl_cert = <" << d << "/server.pem\nssl_key = <" << d << "/server.key\n"
	     << "disable_plaintext_auth = yes\n";
	if (mechanisms.empty()) {
		conf << "auth_mechanisms = plain login\n"
		     << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << d << "/users\n}\n";
	} else {
		int port = 0;
		introspection_ = startIntrospection(dir_, port);
		std::ofstream(dir_.sub("oauth2.conf.ext"))
			<< "introspection_url = http://127.0.0.1:" << port << "/introspect\nintrospection_mode = post\n"
			<< "username_attribute = username\nactive_attribute = active\nactive_value = true\n";
		// A refused token is answered at once, not after the usual pause
		// (though Dovecot still makes each later login from the address
		// wait longer, until it is restarted).
		conf << "auth_mechanisms = " << mechanisms << "\nauth_failure_delay = 0\n"
		     << "passdb {\n  driver = oauth2\n  mechanisms = " << mechanisms << "\n  args = " << d
		     << "/oauth2.conf.ext\n}\n";
	}
	conf
	     << "userdb {\n  driver = passwd-file\n  args = " << d << "/users\n}\n"
	     << "mail_location = maildir:" << d << "/mail/%u\nfirst_valid_uid = 1\n"
	     << "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = " << imapPort_
	     << "\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = " << imapsPort_
	     << "\n    ssl = yes\n  }\n}\n";
	if (!root)
		conf << "default_internal_user = " << owner->pw_name << "\ndefault_login_user = " << owner->pw_name << "\n";
	conf.close();
	start();
}

Dovecot::~Dovecot()
{
	stop();
	if (introspection_ > 0) {
		kill(introspection_, SIGKILL);
		waitpid(introspection_, nullptr, 0);
	}
}

void Dovecot::setTokens(const std::vector<string> &tokens) const
{
	std::ofstream out(dir_.sub("tokens.part"));
	for (const string &token : tokens)
		out << token << " " << kUser << "\n";
	out.close();
	std::filesystem::rename(dir_.sub("tokens.part"), dir_.sub("tokens"));
}

void Dovecot::start()
{
	pid_ = fork();
	if (pid_ == 0) {
		setpgid(0, 0);
		const string conf = dir_.sub("dovecot.conf");
		const string out = dir_.sub("dovecot.out");
		freopen(out.c_str(), "a", stdout);
		freopen(out.c_str(), "a", stderr);
		execlp("dovecot", "dovecot", "-c", conf.c_str(), "-F", static_cast<char *>(nullptr));
		_exit(127);
	}
	for (int i = 0; i < 500; ++i) {
		if (listening(imapsPort_) && listening(imapPort_))
			return;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	throw std::runtime_error("dovecot did not start: " + readFile(dir_.sub("dovecot.out")) + log());
}

void Dovecot::stop()
{
	if (pid_ <= 0)
		return;
	kill(pid_, SIGTERM);
	for (int i = 0; i < 500 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	kill(-pid_, SIGKILL);
	waitpid(pid_, nullptr, WNOHANG);
	pid_ = -1;
}

string Dovecot::doveadm(const string &args, const string &input) const
{
	const string in = dir_.write("doveadm.in", input);
	const string out = dir_.sub("doveadm.out");
	const string command = "doveadm -c " + dir_.sub("dovecot.conf") + " " + args + " <" + in + " >" + out + " 2>&1";
	if (std::system(command.c_str()) != 0)
		throw std::runtime_error("failed: " + command + ": " + readFile(out));
	return readFile(out);
}

string Dovecot::settledLog(std::size_t from) const
{
	using Clock = std::chrono::steady_clock;
	constexpr std::chrono::milliseconds kStill(500), kAtMost(15000);
	const auto start = Clock::now();
	auto stillSince = start;
	string seen;
	while (Clock::now() - start < kAtMost) {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		const string all = log();
		const string now = all.substr(std::min(from, all.size()));
		if (now != seen) {
			seen = now;
			stillSince = Clock::now();
		} else if (seen.find("Disconnected") != string::npos && Clock::now() - stillSince >= kStill)
			break;
	}
	return seen;
}

void Dovecot::deliver(const string &message, const string &folder) const
{
	doveadm("save -u " + string(kUser) + " -m " + folder, message);
}

void Dovecot::placeInInbox(const std::vector<string> &messages) const
{
	const string fresh = dir_.sub("mail/alice/new");
	std::filesystem::create_directories(fresh);
	for (std::size_t i = 0; i < messages.size(); ++i)
		std::ofstream(fresh + "/" + std::to_string(1700000000 + i) + ".m" + std::to_string(i) + ".test")
			<< messages[i];
	if (getuid() == 0)
		std::system(("chown -R nobody:nogroup " + dir_.sub("mail")).c_str());
}

string Dovecot::flags(const string &folder) const
{
	return doveadm("fetch -u " + string(kUser) + " 'uid flags' mailbox " + folder + " ALL");
}

namespace {

// Each tiny server's files are its own, even beside another of its mode.
string tinyName(const string &mode)
{
	static int servers = 0;
	return "tiny-" + mode + "-" + std::to_string(++servers);
}

} // namespace

TinyServer::TinyServer(const string &mode, const TempDir &dir) : TinyServer(mode, dir, tinyName(mode)) {}

TinyServer::TinyServer(const string &mode, const TempDir &dir, const string &name) : log_(dir.sub(name + ".log"))
{
	const string portFile = dir.sub(name + ".port");
	pid_ = fork();
	if (pid_ == 0) {
		execl("/usr/bin/python3", "python3", BOXWARDEN_TINY_SERVER, mode.c_str(), portFile.c_str(),
		      dir.sub("server.pem").c_str(), dir.sub("server.key").c_str(), log_.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	for (int i = 0; i < 500 && port_ == 0; ++i) {
		port_ = std::atoi(readFile(portFile).c_str());
		if (port_ == 0)
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	if (port_ == 0)
		throw std::runtime_error("the tiny server did not start");
}

TinyServer::~TinyServer()
{
	kill(pid_, SIGKILL);
	waitpid(pid_, nullptr, 0);
}

string TinyServer::heard() const
{
	return readFile(log_);
}
