// Where the client follows a redirect: the session token and the password never to another
// origin, a download never off the web nor down from https to http. The whole passes that
// meet redirects and hostile answers are rows of the fault table; TLS is not at hand there,
// so the rules are checked here one by one.

#include "client/HttpExchange.h"
#include "support/Scenario.h"

#include <QTest>

using namespace kitewell;
using namespace testsupport;

namespace {

const Failure kInsecure = transportFailure(TransportError::Kind::InsecureRedirect);
const Failure kNotWeb = clientFailure(SyncClientError::Case::invalidResponse);

struct Redirect {
    const char* name = "";
    RedirectRule rule;
    QString from;
    QByteArray location;
    QString target; // empty: refused
    std::optional<Failure> refusal = {};
};

} // namespace

class SecurityTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void redirectTargets_data() {
        using enum RedirectRule;
        // clang-format off
        addRows<Redirect>({
            {"same origin, relative", SameOrigin, u"http://a.cn:81/x/y"_s, "../z?q", u"http://a.cn:81/z?q"_s},
            {"same origin, default port spelled out", SameOrigin, u"https://a.cn/x"_s, "https://a.cn:443/y",
             u"https://a.cn:443/y"_s},
            {"another port", SameOrigin, u"http://a.cn:81/x"_s, "http://a.cn:82/x", {}, kInsecure},
            {"another host", SameOrigin, u"http://a.cn/x"_s, "http://b.cn/x", {}, kInsecure},
            {"up to https", SameOrigin, u"http://a.cn/x"_s, "https://a.cn/x", {}, kInsecure},
            {"download, another origin", AnyWeb, u"https://a.cn/x"_s, "https://b.cn:8443/y",
             u"https://b.cn:8443/y"_s},
            {"download, up to https", AnyWeb, u"http://a.cn/x"_s, "https://b.cn/y", u"https://b.cn/y"_s},
            {"download, down to http", AnyWeb, u"https://a.cn/x"_s, "http://a.cn/x", {}, kInsecure},
            {"download, relative", AnyWeb, u"https://a.cn/x/y"_s, "/z", u"https://a.cn/z"_s},
            {"download, local file", AnyWeb, u"http://a.cn/x"_s, "file:///etc/passwd", {}, kNotWeb},
            {"download, relative local file", AnyWeb, u"http://a.cn/x"_s, "file:escape.jpg", {}, kNotWeb},
            {"download, other scheme", AnyWeb, u"http://a.cn/x"_s, "ftp://a.cn/x", {}, kNotWeb},
            {"download, no host", AnyWeb, u"http://a.cn/x"_s, "http:///etc/passwd", {}, kNotWeb},
        });
        // clang-format on
    }
    void redirectTargets() {
        QFETCH(Redirect, row);
        std::optional<Failure> refusal;
        QUrl target;
        try {
            target = redirectTarget(row.rule, QUrl(row.from), row.location);
        } catch (...) {
            refusal = kitewell::classify(std::current_exception());
        }
        QVERIFY2(sameFailure(refusal, row.refusal), qPrintable(refusal ? refusal->text : target.toString()));
        QCOMPARE(target, row.target.isEmpty() ? QUrl() : QUrl(row.target));
    }
};

QTEST_GUILESS_MAIN(SecurityTest)
#include "tst_security.moc"
