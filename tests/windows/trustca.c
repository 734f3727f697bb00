/* Test helper: puts a CA certificate (PEM) into the "Root" store of the
 * current user of the Wine prefix, or takes it out again, so that WinHTTP
 * trusts the test server's certificate.
 *
 *   trustca.exe add|remove <ca.pem>
 *
 * Exit code 0 on success; a line on stderr otherwise. */
#include <windows.h>

#include <wincrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static BYTE* read_der(const char* path, DWORD* der_size) {
  FILE* f = fopen(path, "rb");
  char* pem;
  long size;
  BYTE* der;
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  size = ftell(f);
  fseek(f, 0, SEEK_SET);
  pem = malloc((size_t)size + 1);
  if (pem == NULL || fread(pem, 1, (size_t)size, f) != (size_t)size) {
    fclose(f);
    free(pem);
    return NULL;
  }
  fclose(f);
  pem[size] = '\0';
  *der_size = 0;
  if (!CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, NULL, der_size, NULL, NULL)) {
    free(pem);
    return NULL;
  }
  der = malloc(*der_size);
  if (der == NULL ||
      !CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, der, der_size, NULL, NULL)) {
    free(der);
    der = NULL;
  }
  free(pem);
  return der;
}

int main(int argc, char** argv) {
  HCERTSTORE store;
  PCCERT_CONTEXT added = NULL;
  BYTE* der;
  DWORD der_size = 0;
  int adding, ok = 0;
  if (argc != 3 || (strcmp(argv[1], "add") != 0 && strcmp(argv[1], "remove") != 0)) {
    fprintf(stderr, "usage: trustca add|remove <ca.pem>\n");
    return 2;
  }
  adding = strcmp(argv[1], "add") == 0;
  der = read_der(argv[2], &der_size);
  if (der == NULL) {
    fprintf(stderr, "trustca: cannot read a PEM certificate from %s\n", argv[2]);
    return 1;
  }
  store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (store == NULL) {
    fprintf(stderr, "trustca: cannot open the Root store (%lu)\n", GetLastError());
    free(der);
    return 1;
  }
  if (adding) {
    ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, der_size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  } else {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der, der_size);
    PCCERT_CONTEXT found = NULL;
    if (wanted != NULL) {
      found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, NULL);
      CertFreeCertificateContext(wanted);
    }
    /* Not there: nothing to take out. */
    ok = found == NULL || CertDeleteCertificateFromStore(found);
  }
  if (!ok) fprintf(stderr, "trustca: %s failed (%lu)\n", argv[1], GetLastError());
  if (added != NULL) CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  free(der);
  return ok ? 0 : 1;
}
