#include "ui/desktop_notifier.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStringList>
#include <QThreadPool>
#include <QVariantMap>
#include <cctype>
#include <optional>
#include <utility>

namespace kelvatta::ui {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kConnectionName = QStringLiteral("kelvatta-notifications");
// How long a call may wait for the service's answer (on the pool's thread, never the window's).
constexpr int kCallTimeoutMs = 3000;
constexpr int kDefaultExpiry = -1;  // as the service likes
constexpr uchar kNormalUrgency = 1;

// A path in a D-Bus address: every byte but [-0-9A-Za-z_/.*] as %XX.
QString escapedForAddress(const QString& path)
{
    QString escaped;
    for (const char byte : path.toUtf8()) {
        const auto c = static_cast<unsigned char>(byte);
        if (std::isalnum(c) || QByteArrayView("-_/.*").contains(byte)) escaped += QLatin1Char(byte);
        else escaped += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return escaped;
}

// The session bus's address, or nothing where there is none to connect to without starting a program.
std::optional<QString> sessionBusAddress()
{
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty()) {
        if (address.contains(QStringLiteral("autolaunch:"))) return std::nullopt;
        return address;
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) return std::nullopt;
    const QString bus = runtime + QStringLiteral("/bus");
    if (!QFileInfo::exists(bus)) return std::nullopt;
    return QStringLiteral("unix:path=") + escapedForAddress(bus);
}

QDBusMessage notificationsCall(const QString& method)
{
    return QDBusMessage::createMethodCall(kService, kObjectPath, kInterface, method);
}

// Sends the notification and waits for the answer; on a thread of the pool.
void send(const QString& desktopEntry, const QString& summary, const QString& body)
{
    const auto address = sessionBusAddress();
    if (!address) return;
    QDBusConnection bus = QDBusConnection::connectToBus(*address, kConnectionName);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(kConnectionName);  // so that the next notification tries again
        return;
    }
    // A service that reads markup in the body would take a file name's "<" or "&" for it.
    const QDBusMessage capabilities =
        bus.call(notificationsCall(QStringLiteral("GetCapabilities")), QDBus::Block, kCallTimeoutMs);
    if (capabilities.type() != QDBusMessage::ReplyMessage) return;  // no notification service
    const bool markup = capabilities.arguments().value(0).toStringList().contains(QStringLiteral("body-markup"));
    QDBusMessage notify = notificationsCall(QStringLiteral("Notify"));
    const QVariantMap hints = {{QStringLiteral("desktop-entry"), desktopEntry},
                               {QStringLiteral("urgency"), QVariant::fromValue(kNormalUrgency)}};
    notify << QStringLiteral("Kelvatta") << 0u << QStringLiteral("kelvatta") << summary
           << (markup ? body.toHtmlEscaped() : body) << QStringList() << hints << kDefaultExpiry;
    (void)bus.call(notify, QDBus::Block, kCallTimeoutMs);
}

class SessionBusNotifier final : public DesktopNotifier {
public:
    explicit SessionBusNotifier(QString desktopEntry) : desktopEntry_(std::move(desktopEntry)) {}

    void notify(const QString& summary, const QString& body) override
    {
        QThreadPool::globalInstance()->start(
            [desktopEntry = desktopEntry_, summary, body] { send(desktopEntry, summary, body); });
    }

private:
    const QString desktopEntry_;
};

}  // namespace

std::shared_ptr<DesktopNotifier> sessionBusNotifier(const QString& desktopEntry)
{
    return std::make_shared<SessionBusNotifier>(desktopEntry);
}

}  // namespace kelvatta::ui
