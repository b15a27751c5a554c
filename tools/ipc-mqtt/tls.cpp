// TLS to the broker: the context (its CA, this device's certificate, the
// version), the check of the broker's name, and why a handshake failed.
#include <arpa/inet.h>
#include <errno.h>
#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdint.h>
#include <string.h>
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

bool unusable(const char *option, const char *path, const char *why)
{
	say(option, " ", path, ": ", why, "\n");
	return false;
}

// The files of the settings into ctx, or a line that says which cannot be
// used.
bool load(SSL_CTX *ctx, const tls_settings &s)
{
	if (!SSL_CTX_load_verify_locations(ctx, s.cafile, s.capath))
		return unusable(s.cafile != nullptr ? "--cafile" : "--capath", s.cafile != nullptr ? s.cafile : s.capath,
				"no CA certificate in it (PEM)");
	if (s.cert != nullptr && SSL_CTX_use_certificate_chain_file(ctx, s.cert) != 1)
		return unusable("--cert", s.cert, "no certificate in it (PEM)");
	if (s.key != nullptr && SSL_CTX_use_PrivateKey_file(ctx, s.key, SSL_FILETYPE_PEM) != 1)
		return unusable("--key", s.key, "no key in it (PEM, without a passphrase)");
	if (s.key != nullptr && SSL_CTX_check_private_key(ctx) != 1)
		return unusable("--key", s.key, "not the key of --cert");
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

bool tls_setup(bridge &b)
{
	const tls_settings &s = b.tls_options;
	SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
	if (ctx == nullptr) {
		say("can't set up TLS\n");
		return false;
	}
	SSL_CTX_set_min_proto_version(ctx, s.version != 0 ? s.version : TLS1_2_VERSION);
	SSL_CTX_set_max_proto_version(ctx, s.version);
	SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
	SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, on_verify);
	SSL_CTX_set_info_callback(ctx, on_info);
	SSL_CTX_set_msg_callback(ctx, on_message);
	SSL_CTX_set_app_data(ctx, &b);
	bool usable = load(ctx, s) && check_name(ctx, b);
	// All of it ours: libmosquitto would check the name against the
	// address that it is handed. It holds a reference of its own.
	if (usable) {
		mosquitto_int_option(b.mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
		mosquitto_void_option(b.mosq, MOSQ_OPT_SSL_CTX, ctx);
	}
	SSL_CTX_free(ctx);
	if (!usable)
		return false;

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

void tls_attempt(bridge &b)
{
	b.handshake = {X509_V_OK, -1, false};
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
