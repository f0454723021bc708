#include "lab_api/SelfSignedCertificate.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include <cstring>

namespace lab {

using kx::core::Binary;
using kx::core::String;

namespace {

const unsigned char PERSONALIZATION[] = {'l', 'a', 'b', '.', 'c', 'e', 'r', 't'};
const size_t PEM_ROOM = 4096;

// Every mbedTLS object of one run, freed in one place whatever step failed.
struct Parts {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_pk_context key;
    mbedtls_x509write_cert writer;
    mbedtls_mpi serial;

    Parts() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        mbedtls_pk_init(&key);
        mbedtls_x509write_crt_init(&writer);
        mbedtls_mpi_init(&serial);
    }
    ~Parts() {
        mbedtls_mpi_free(&serial);
        mbedtls_x509write_crt_free(&writer);
        mbedtls_pk_free(&key);
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
};

bool fail(String* error, const wchar_t* step, int code) {
    if (error)
        *error = String(L"self-signed certificate: ") + step + L" failed (" +
                 String::fromInt32(code) + L")";
    return false;
}

}  // namespace

bool SelfSignedCertificate::make(const String& commonName, Binary* certPem, Binary* keyPem,
                                 String* error) {
    Parts p;
    int rc = mbedtls_ctr_drbg_seed(&p.drbg, mbedtls_entropy_func, &p.entropy, PERSONALIZATION,
                                   sizeof(PERSONALIZATION));
    if (rc != 0) return fail(error, L"seeding", rc);
    rc = mbedtls_pk_setup(&p.key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY));
    if (rc != 0) return fail(error, L"key setup", rc);
    rc = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(p.key),
                             mbedtls_ctr_drbg_random, &p.drbg);
    if (rc != 0) return fail(error, L"key generation", rc);

    std::string name = "CN=" + commonName.toStdString() + ",O=korvane-lab";
    mbedtls_x509write_crt_set_version(&p.writer, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&p.writer, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&p.writer, &p.key);
    mbedtls_x509write_crt_set_issuer_key(&p.writer, &p.key);
    unsigned char serial[8];
    rc = mbedtls_ctr_drbg_random(&p.drbg, serial, sizeof(serial));
    if (rc == 0) {
        serial[0] &= 0x7F;  // a positive serial
        rc = mbedtls_mpi_read_binary(&p.serial, serial, sizeof(serial));
    }
    if (rc == 0) rc = mbedtls_x509write_crt_set_serial(&p.writer, &p.serial);
    if (rc != 0) return fail(error, L"serial", rc);
    rc = mbedtls_x509write_crt_set_subject_name(&p.writer, name.c_str());
    if (rc == 0) rc = mbedtls_x509write_crt_set_issuer_name(&p.writer, name.c_str());
    if (rc != 0) return fail(error, L"names", rc);
    rc = mbedtls_x509write_crt_set_validity(&p.writer, "20250101000000", "20350101000000");
    if (rc != 0) return fail(error, L"validity", rc);
    rc = mbedtls_x509write_crt_set_basic_constraints(&p.writer, 1, 0);
    if (rc != 0) return fail(error, L"constraints", rc);

    unsigned char buffer[PEM_ROOM];
    std::memset(buffer, 0, sizeof(buffer));
    rc = mbedtls_x509write_crt_pem(&p.writer, buffer, sizeof(buffer), mbedtls_ctr_drbg_random,
                                   &p.drbg);
    if (rc != 0) return fail(error, L"certificate writing", rc);
    Binary cert(buffer, static_cast<int32_t>(std::strlen(reinterpret_cast<char*>(buffer))));
    std::memset(buffer, 0, sizeof(buffer));
    rc = mbedtls_pk_write_key_pem(&p.key, buffer, sizeof(buffer));
    if (rc != 0) return fail(error, L"key writing", rc);
    Binary key(buffer, static_cast<int32_t>(std::strlen(reinterpret_cast<char*>(buffer))));
    std::memset(buffer, 0, sizeof(buffer));
    if (certPem) *certPem = cert;
    if (keyPem) *keyPem = key;
    return true;
}

}  // namespace lab
