#include "tls/src/CertificateWriter.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include <arpa/inet.h>

#include <cstring>

#include "tls/src/TlsErrors.h"

namespace kx {
namespace tls {

namespace {

const unsigned char PERSONALIZATION[] = {'k', 'x', '.', 'c', 'e', 'r', 't'};
const size_t PEM_ROOM = 4096;

// Every mbedTLS object of one run, freed in one place whatever step failed.
struct Parts {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_pk_context key;
    mbedtls_pk_context issuerKey;
    mbedtls_x509_crt issuerCert;
    mbedtls_x509write_cert writer;
    mbedtls_mpi serial;

    Parts() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_pk_init(&key);
        mbedtls_pk_init(&issuerKey);
        mbedtls_x509_crt_init(&issuerCert);
        mbedtls_x509write_crt_init(&writer);
        mbedtls_mpi_init(&serial);
    }
    ~Parts() {
        mbedtls_mpi_free(&serial);
        mbedtls_x509write_crt_free(&writer);
        mbedtls_x509_crt_free(&issuerCert);
        mbedtls_pk_free(&issuerKey);
        mbedtls_pk_free(&key);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

bool fail(core::String* error, const wchar_t* step, int code) {
    if (error) *error = core::String(L"certificate writing: ") + step + L": " + TlsErrors::text(code);
    return false;
}

void appendLength(std::string* der, size_t length) {
    if (length < 0x80) {
        der->push_back(static_cast<char>(length));
    } else if (length < 0x100) {
        der->push_back(static_cast<char>(0x81));
        der->push_back(static_cast<char>(length));
    } else {
        der->push_back(static_cast<char>(0x82));
        der->push_back(static_cast<char>(length >> 8));
        der->push_back(static_cast<char>(length & 0xFF));
    }
}

// GeneralNames: SEQUENCE of [2] dNSName and [7] iPAddress (context tags).
bool subjectAltNames(const CertificateWriter::Request& request, std::string* der) {
    std::string names;
    for (const std::string& dns : request.dnsNames) {
        names.push_back(static_cast<char>(0x82));
        appendLength(&names, dns.size());
        names += dns;
    }
    for (const std::string& ip : request.ipv4) {
        unsigned char bytes[4];
        if (inet_pton(AF_INET, ip.c_str(), bytes) != 1) return false;
        names.push_back(static_cast<char>(0x87));
        names.push_back(4);
        names.append(reinterpret_cast<const char*>(bytes), 4);
    }
    der->clear();
    der->push_back(0x30);
    appendLength(der, names.size());
    *der += names;
    return true;
}

core::Binary pemText(const unsigned char* buffer) {
    return core::Binary(buffer, static_cast<int32_t>(std::strlen(reinterpret_cast<const char*>(buffer))));
}

size_t pemLength(const core::Binary& pem) { return static_cast<size_t>(pem.length()) + 1; }

}  // namespace

bool CertificateWriter::make(const Request& request, const Identity* issuer, Identity* out,
                             core::String* error) {
    Parts p;
    int rc = mbedtls_ctr_drbg_seed(&p.drbg, mbedtls_entropy_func, &p.entropy, PERSONALIZATION,
                                   sizeof(PERSONALIZATION));
    if (rc != 0) return fail(error, L"seeding", rc);
    rc = mbedtls_pk_setup(&p.key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY));
    if (rc != 0) return fail(error, L"key setup", rc);
    rc = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(p.key), mbedtls_ctr_drbg_random,
                             &p.drbg);
    if (rc != 0) return fail(error, L"key generation", rc);

    const std::string subject = "CN=" + request.commonName + ",O=korvane";
    std::string issuerName = subject;
    mbedtls_pk_context* signingKey = &p.key;
    if (issuer) {
        rc = mbedtls_x509_crt_parse(&p.issuerCert, issuer->certPem.data(), pemLength(issuer->certPem));
        if (rc != 0) return fail(error, L"issuer certificate", rc);
        rc = mbedtls_pk_parse_key(&p.issuerKey, issuer->keyPem.data(), pemLength(issuer->keyPem),
                                  nullptr, 0);
        if (rc != 0) return fail(error, L"issuer key", rc);
        char name[512];
        rc = mbedtls_x509_dn_gets(name, sizeof(name), &p.issuerCert.subject);
        if (rc < 0) return fail(error, L"issuer name", rc);
        issuerName = name;
        signingKey = &p.issuerKey;
    }

    mbedtls_x509write_crt_set_version(&p.writer, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&p.writer, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&p.writer, &p.key);
    mbedtls_x509write_crt_set_issuer_key(&p.writer, signingKey);
    unsigned char serial[8];
    rc = mbedtls_ctr_drbg_random(&p.drbg, serial, sizeof(serial));
    if (rc == 0) {
        serial[0] &= 0x7F;  // a positive serial
        serial[0] |= 0x01;  // and never zero
        rc = mbedtls_mpi_read_binary(&p.serial, serial, sizeof(serial));
    }
    if (rc == 0) rc = mbedtls_x509write_crt_set_serial(&p.writer, &p.serial);
    if (rc != 0) return fail(error, L"serial", rc);
    rc = mbedtls_x509write_crt_set_subject_name(&p.writer, subject.c_str());
    if (rc == 0) rc = mbedtls_x509write_crt_set_issuer_name(&p.writer, issuerName.c_str());
    if (rc != 0) return fail(error, L"names", rc);
    rc = mbedtls_x509write_crt_set_validity(&p.writer, request.notBefore.c_str(),
                                            request.notAfter.c_str());
    if (rc != 0) return fail(error, L"validity", rc);
    rc = mbedtls_x509write_crt_set_basic_constraints(&p.writer, request.authority ? 1 : 0, -1);
    if (rc != 0) return fail(error, L"constraints", rc);
    if (!request.dnsNames.empty() || !request.ipv4.empty()) {
        std::string san;
        if (!subjectAltNames(request, &san)) {
            return fail(error, L"alternative names", MBEDTLS_ERR_X509_BAD_INPUT_DATA);
        }
        rc = mbedtls_x509write_crt_set_extension(
            &p.writer, MBEDTLS_OID_SUBJECT_ALT_NAME, MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME), 0,
            reinterpret_cast<const unsigned char*>(san.data()), san.size());
        if (rc != 0) return fail(error, L"alternative names", rc);
    }

    unsigned char buffer[PEM_ROOM];
    std::memset(buffer, 0, sizeof(buffer));
    rc = mbedtls_x509write_crt_pem(&p.writer, buffer, sizeof(buffer), mbedtls_ctr_drbg_random, &p.drbg);
    if (rc != 0) return fail(error, L"certificate", rc);
    core::Binary cert = pemText(buffer);
    std::memset(buffer, 0, sizeof(buffer));
    rc = mbedtls_pk_write_key_pem(&p.key, buffer, sizeof(buffer));
    if (rc != 0) return fail(error, L"key", rc);
    core::Binary key = pemText(buffer);
    std::memset(buffer, 0, sizeof(buffer));
    if (out) {
        out->certPem = cert;
        out->keyPem = key;
    }
    return true;
}

}  // namespace tls
}  // namespace kx
