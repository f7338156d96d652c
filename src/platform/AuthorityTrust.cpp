#include "AuthorityTrust.h"

#include <QNetworkReply>
#include <algorithm>
#include <memory>
#include <windows.h>

#include <wincrypt.h>

namespace klv {

namespace {

struct StoreCloser
{
    void operator()(void *store) const { CertCloseStore(store, 0); }
};
struct ContextFreer
{
    void operator()(const CERT_CONTEXT *context) const { CertFreeCertificateContext(context); }
};
struct ChainFreer
{
    void operator()(const CERT_CHAIN_CONTEXT *chain) const { CertFreeCertificateChain(chain); }
};

bool addEncoded(HCERTSTORE store, const QSslCertificate &certificate)
{
    const QByteArray der = certificate.toDer();
    return !der.isEmpty() &&
           CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.constData()),
                                            DWORD(der.size()), CERT_STORE_ADD_ALWAYS, nullptr);
}

QByteArray encodedOf(const CERT_CONTEXT *context)
{
    return QByteArray(reinterpret_cast<const char *>(context->pbCertEncoded), qsizetype(context->cbCertEncoded));
}

// True when every error only says that the issuer is not a trusted root.
bool onlyIssuerUntrusted(const QList<QSslError> &errors)
{
    return std::all_of(errors.begin(), errors.end(), [](const QSslError &error) {
        switch (error.error()) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::SelfSignedCertificateInChain:
            return true;
        default:
            return false;
        }
    });
}

// The peer's chain (its certificate first) builds to one of `authorities` and holds for `host`.
bool chainLeadsToAuthority(const QList<QSslCertificate> &chain, const QList<QSslCertificate> &authorities,
                           const QString &host)
{
    if (chain.isEmpty() || authorities.isEmpty())
        return false;
    const std::unique_ptr<void, StoreCloser> store(
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store)
        return false;
    for (const QSslCertificate &authority : authorities) {
        if (!addEncoded(store.get(), authority))
            return false;
    }
    for (qsizetype i = 1; i < chain.size(); ++i)
        addEncoded(store.get(), chain[i]); // intermediates the server sent
    const QByteArray leafDer = chain.first().toDer();
    const std::unique_ptr<const CERT_CONTEXT, ContextFreer> leaf(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(leafDer.constData()), DWORD(leafDer.size())));
    if (!leaf)
        return false;

    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    const CERT_CHAIN_CONTEXT *built = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf.get(), nullptr, store.get(), &parameters, 0, nullptr, &built) || !built)
        return false;
    const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer> owned(built);
    if (built->cChain != 1 || built->rgpChain[0]->cElement == 0)
        return false;
    // The only fault allowed is the one this check exists for: a root the system does not know.
    constexpr DWORD kAllowed =
        CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    if (built->TrustStatus.dwErrorStatus & ~kAllowed)
        return false;
    const CERT_SIMPLE_CHAIN *simple = built->rgpChain[0];
    const QByteArray root = encodedOf(simple->rgpElement[simple->cElement - 1]->pCertContext);
    const bool rootIsAdded = std::any_of(authorities.begin(), authorities.end(),
                                         [&](const QSslCertificate &authority) { return authority.toDer() == root; });
    if (!rootIsAdded)
        return false;

    // The SSL policy: the host's name (or address) in the certificate, the server usage.
    std::wstring serverName = host.toStdWString();
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, built, &policy, &status))
        return false;
    return status.dwError == 0 || status.dwError == DWORD(CERT_E_UNTRUSTEDROOT);
}

} // namespace

void acceptAddedAuthorities(QNetworkReply *reply, const QList<QSslCertificate> &authorities)
{
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply, authorities](const QList<QSslError> &errors) {
        QList<QSslCertificate> chain = reply->sslConfiguration().peerCertificateChain();
        if (chain.isEmpty() && !errors.isEmpty())
            chain = {errors.first().certificate()};
        if (onlyIssuerUntrusted(errors) && chainLeadsToAuthority(chain, authorities, reply->url().host()))
            reply->ignoreSslErrors(errors);
    });
}

} // namespace klv
