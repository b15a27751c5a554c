// TLS to the broker: the context (its CA, this device's certificate, the
// version), the check of the broker's name, and why a handshake failed.
#include <arpa/inet.h>
#include <errno.h>
#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "mqtt.h"

// options.cpp, which the build without TLS compiles too, names the versions
// by their numbers.
static_assert(TLS1_2_VERSION == 0x0303 && TLS1_3_VERSION == 0x0304, "--tls-version's numbers");

namespace {

// The callbacks' bridge: the context's app data, which libmosquitto leaves
// alone.
bridge &bridge_of(const SSL *ssl)
{
	return *(bridge *)SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl));
}

int on_verify(int ok, X509_STORE_CTX *ctx)
{
	const SSL *ssl = (const SSL *)X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx());
	tls_verdict &v = bridge_of(ssl).handshake;
	if (!ok && v.verify == X509_V_OK)
		v.verify = X509_STORE_CTX_get_error(ctx);
	return ok;
}

void on_info(const SSL *ssl, int where, int value)
{
	bridge &b = bridge_of(ssl);
	// libmosquitto names the address it connects to in SNI; the broker
	// should hear the name. The ClientHello is not written yet here.
	if (where & SSL_CB_HANDSHAKE_START)
		SSL_set_tlsext_host_name(const_cast<SSL *>(ssl), b.server_name);
	if ((where & SSL_CB_READ_ALERT) && (value >> 8) == SSL3_AL_FATAL && b.handshake.alert < 0)
		b.handshake.alert = value & 0xff;
}

void on_message(int sent, int, int type, const void *data, size_t len, SSL *ssl, void *)
{
	if (!sent && type == SSL3_RT_HANDSHAKE && len > 0 && *(const unsigned char *)data == SSL3_MT_CERTIFICATE_REQUEST)
		bridge_of(ssl).handshake.asked_cert = true;
}

// A key with a passphrase is refused rather than asked for on a terminal.
int no_passphrase(char *, int, int, void *)
{
	return 0;
}

// "the broker's certificate ..., by this camera's clock: 1970-01-01 00:00:12 UTC".
void put_clock(ipc_text &t)
{
	time_t now = time(nullptr);
	struct tm tm = {};
	gmtime_r(&now, &tm);
	ipc_put_all(t, ", by this camera's clock: ", tm.tm_year + 1900, "-", ipc_padded{(unsigned)tm.tm_mon + 1, 2}, "-",
		    ipc_padded{(unsigned)tm.tm_mday, 2}, " ", ipc_padded{(unsigned)tm.tm_hour, 2}, ":",
		    ipc_padded{(unsigned)tm.tm_min, 2}, ":", ipc_padded{(unsigned)tm.tm_sec, 2}, " UTC");
}

// Said at start, and at an attempt the first time a renewed file cannot be
// used.
bool unusable(const bridge &b, const char *option, const char *path, const char *why)
{
	if (!b.reload_failed)
		say(option, " ", path, ": ", why, "\n");
	return false;
}

// A TLS file, opened afresh, as root (by the privileged part once the
// bridge has given root up): a key may be root's alone, and a certificate
// renewed on disk is the one read. At most TLS_FILE_MAX bytes: a CA bundle
// is a few hundred KB.
constexpr off_t TLS_FILE_MAX = 1 << 20;
BIO *open_file(bridge &b, int question, const char *option, const char *path)
{
	int fd = privileged_open(b, question);
	struct stat st;
	if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > TLS_FILE_MAX) {
		close(fd);
		fd = -1;
		errno = EFBIG;
	}
	BIO *in = fd >= 0 ? BIO_new_fd(fd, BIO_CLOSE) : nullptr;
	if (in == nullptr)
		unusable(b, option, path, strerror(errno));
	return in;
}

// Each certificate of a PEM file, into the store: false when there is none.
bool load_cas(SSL_CTX *ctx, BIO *in)
{
	STACK_OF(X509_INFO) *all = PEM_X509_INFO_read_bio(in, nullptr, no_passphrase, nullptr);
	X509_STORE *store = SSL_CTX_get_cert_store(ctx);
	int added = 0;
	for (int i = 0; i < sk_X509_INFO_num(all); i++) {
		X509 *cert = sk_X509_INFO_value(all, i)->x509;
		added += cert != nullptr && X509_STORE_add_cert(store, cert) == 1;
	}
	sk_X509_INFO_pop_free(all, X509_INFO_free);
	return added > 0;
}

// This device's certificate, then the chain that may follow it.
bool load_chain(SSL_CTX *ctx, BIO *in)
{
	X509 *cert = PEM_read_bio_X509_AUX(in, nullptr, no_passphrase, nullptr);
	bool ok = cert != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1;
	X509_free(cert);
	for (X509 *ca; ok && (ca = PEM_read_bio_X509(in, nullptr, no_passphrase, nullptr)) != nullptr;)
		if (SSL_CTX_add0_chain_cert(ctx, ca) != 1) {
			X509_free(ca);
			ok = false;
		}
	ERR_clear_error();  // the end of the file, read as a missing certificate
	return ok;
}

bool load_key(SSL_CTX *ctx, BIO *in)
{
	EVP_PKEY *key = PEM_read_bio_PrivateKey(in, nullptr, no_passphrase, nullptr);
	bool ok = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1;
	EVP_PKEY_free(key);
	return ok;
}

// One file into ctx by load, or a line that says why it cannot be used.
bool load_file(SSL_CTX *ctx, bridge &b, int question, const char *option, const char *path,
	       bool (*load)(SSL_CTX *, BIO *), const char *why)
{
	if (path == nullptr)
		return true;
	BIO *in = open_file(b, question, option, path);
	if (in == nullptr)
		return false;
	bool ok = load(ctx, in);
	BIO_free(in);
	return ok || unusable(b, option, path, why);
}

// The files of the settings into ctx, or a line that says which cannot be
// used. A --capath is read as the broker's chain needs it, by the bridge
// itself: a CA directory is everyone's to read.
bool load(SSL_CTX *ctx, bridge &b)
{
	const tls_settings &s = b.tls_options;
	if (s.capath != nullptr && !SSL_CTX_load_verify_locations(ctx, nullptr, s.capath))
		return unusable(b, "--capath", s.capath, "no CA certificate in it (PEM)");
	if (!load_file(ctx, b, PRIV_CAFILE, "--cafile", s.cafile, load_cas, "no CA certificate in it (PEM)") ||
	    !load_file(ctx, b, PRIV_CERT, "--cert", s.cert, load_chain, "no certificate in it (PEM)") ||
	    !load_file(ctx, b, PRIV_KEY, "--key", s.key, load_key, "no key in it (PEM, without a passphrase)"))
		return false;
	if (s.key != nullptr && SSL_CTX_check_private_key(ctx) != 1)
		return unusable(b, "--key", s.key, "not the key of --cert");
	return true;
}

// The name the user gave is the one the certificate must carry: an
// address as an IP entry, anything else as a DNS name, and only a name goes
// in SNI.
bool check_name(SSL_CTX *ctx, bridge &b)
{
	unsigned char address[16];
	bool literal = inet_pton(AF_INET, b.host, address) == 1 || inet_pton(AF_INET6, b.host, address) == 1;
	b.server_name = literal ? nullptr : b.host;
	X509_VERIFY_PARAM *param = SSL_CTX_get0_param(ctx);
	X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
	if (b.tls_options.insecure || (literal ? X509_VERIFY_PARAM_set1_ip_asc(param, b.host)
					       : X509_VERIFY_PARAM_set1_host(param, b.host, 0)))
		return true;
	say("can't check the broker's certificate for ", b.host, "\n");
	return false;
}

// Why the broker's chain was refused.
void put_chain_fault(ipc_text &t, const bridge &b)
{
	long verify = b.handshake.verify;
	switch (verify) {
	case X509_V_ERR_CERT_NOT_YET_VALID:
	case X509_V_ERR_CERT_HAS_EXPIRED:
		ipc_put(t, verify == X509_V_ERR_CERT_HAS_EXPIRED ? "the broker's certificate has expired"
								      : "the broker's certificate is not valid yet");
		put_clock(t);
		break;
	case X509_V_ERR_HOSTNAME_MISMATCH:
	case X509_V_ERR_IP_ADDRESS_MISMATCH:
		ipc_put_all(t, "the broker's certificate is not for ", b.host, " (--insecure skips this check)");
		break;
	case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
	case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
	case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
	case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
	case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
	case X509_V_ERR_CERT_SIGNATURE_FAILURE:
		ipc_put_all(t, "the broker's certificate is not trusted (not signed by a CA of ",
			    b.tls_options.cafile != nullptr ? "--cafile" : "--capath", ")");
		break;
	default:
		ipc_put_all(t, "the broker's certificate: ", X509_verify_cert_error_string(verify));
	}
}

// Why the broker refused this side of the handshake, from its alert or its
// request for a certificate; false when it did neither.
bool put_refusal(ipc_text &t, const bridge &b)
{
	int alert = b.handshake.alert;
	bool asked_cert = b.handshake.asked_cert;
	if (alert == -1 && !asked_cert)
		return false;
	if (b.tls_options.cert == nullptr && (asked_cert || alert == SSL_AD_CERTIFICATE_REQUIRED))
		ipc_put(t, "the broker wants a client certificate (--cert and --key)");
	else if (alert == -1 || (alert >= SSL_AD_BAD_CERTIFICATE && alert <= SSL_AD_CERTIFICATE_UNKNOWN) ||
		 alert == SSL_AD_UNKNOWN_CA)  // bad, unsupported, revoked, expired or unknown certificate, unknown CA
		ipc_put_all(t, "the broker did not accept this camera's certificate (--cert): ",
			    alert == -1 ? "it closed the connection" : SSL_alert_desc_string_long(alert));
	else if (alert == SSL_AD_PROTOCOL_VERSION)
		ipc_put(t, "the broker does not speak this TLS version (--tls-version)");
	else
		ipc_put_all(t, "the broker refused the handshake: ", SSL_alert_desc_string_long(alert));
	return true;
}

} // namespace

namespace {

// A context from the files as they are now, or nullptr, said.
SSL_CTX *make_context(bridge &b)
{
	const tls_settings &s = b.tls_options;
	SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
	if (ctx == nullptr) {
		say("can't set up TLS\n");
		return nullptr;
	}
	SSL_CTX_set_min_proto_version(ctx, s.version != 0 ? s.version : TLS1_2_VERSION);
	SSL_CTX_set_max_proto_version(ctx, s.version);
	SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
	SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, on_verify);
	SSL_CTX_set_info_callback(ctx, on_info);
	SSL_CTX_set_msg_callback(ctx, on_message);
	SSL_CTX_set_app_data(ctx, &b);
	if (load(ctx, b) && check_name(ctx, b))
		return ctx;
	SSL_CTX_free(ctx);
	return nullptr;
}

// All of it ours: libmosquitto would check the name against the address
// that it is handed. It takes a reference of its own, and, 2.0.11, drops
// none when given the next: the last one's is dropped here.
void use_context(bridge &b, SSL_CTX *ctx)
{
	mosquitto_int_option(b.mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
	mosquitto_void_option(b.mosq, MOSQ_OPT_SSL_CTX, ctx);
	SSL_CTX_free(b.tls_context);
	b.tls_context = ctx;
}

} // namespace

bool tls_setup(bridge &b)
{
	SSL_CTX *ctx = make_context(b);
	if (ctx == nullptr)
		return false;
	use_context(b, ctx);

	// Readable when the wall clock is set, whatever the timer says.
	b.clock_fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
	itimerspec never = {{0, 0}, {(time_t)1 << 40, 0}};
	if (b.clock_fd >= 0 &&
	    timerfd_settime(b.clock_fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr) != 0) {
		close(b.clock_fd);
		b.clock_fd = -1;
	}
	return true;
}

// The files are read again for each attempt: a certificate renewed on disk
// is the next one's. One that cannot be used is said once, and the last
// good context serves until it can.
void tls_attempt(bridge &b)
{
	b.handshake = {X509_V_OK, -1, false};
	if (!b.tls)
		return;
	SSL_CTX *ctx = make_context(b);
	b.reload_failed = ctx == nullptr;
	if (ctx != nullptr)
		use_context(b, ctx);
}

const char *tls_failure(const bridge &b, ipc_text &why)
{
	if (b.handshake.verify != X509_V_OK)
		put_chain_fault(why, b);
	else if (!put_refusal(why, b))
		return nullptr;  // not the handshake
	return why.str();
}

bool tls_clock_was_set(const bridge &b)
{
	uint64_t expired;
	return read(b.clock_fd, &expired, sizeof(expired)) < 0 ? errno == ECANCELED : true;
}

const char *tls_library(void)
{
	return OpenSSL_version(OPENSSL_VERSION);
}
