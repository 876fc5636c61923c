#pragma once

#include "app/FolderKind.h"
#include "model/Records.h"
#include "platform/FolderPicker.h"
#include "storage/SyncSettings.h"
#include "sync/SyncResult.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QVariant>

#include <chrono>
#include <memory>
#include <optional>

namespace kitewell {

class KitewellAPI;
class PollingTask;

// The one controller behind the window: session restore, sign-in and sign-out, the album
// list and choice, folder choice, settings persistence, sync passes, polling and the status
// line. Lives on the main thread. Every operation reports through `message` and never
// throws; none leaves `isWorking` true.
class SyncViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(kitewell::SyncSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)
    Q_PROPERTY(QString email READ email WRITE setEmail NOTIFY emailChanged)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
    Q_PROPERTY(QVariant account READ accountValue NOTIFY accountChanged)  // Account or null
    Q_PROPERTY(QVariantList events READ eventValues NOTIFY eventsChanged) // of AlbumEvent
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool messageIsWarning READ messageIsWarning NOTIFY messageChanged)
    Q_PROPERTY(bool isWorking READ isWorking NOTIFY isWorkingChanged)
    Q_PROPERTY(QVariant lastSyncedAt READ lastSyncedAtValue NOTIFY lastSyncedAtChanged) // QDateTime or null
    Q_PROPERTY(
        QVariant selectedEvent READ selectedEventValue NOTIFY selectedEventChanged) // AlbumEvent or null

public:
    struct Options {
        FolderPicker folderPicker = pickFolderWithDialog;
        std::chrono::milliseconds pollingInterval{15'000};
        // Restore the stored session as soon as the event loop runs (off for tests that
        // want to drive restoreSession themselves).
        bool restoreAtStart = true;
        // The service origin used instead of the production origin (tests point it at a
        // local service); the program itself never sets it.
        std::optional<QString> serviceOrigin;
    };

    explicit SyncViewModel(QObject* parent = nullptr);
    explicit SyncViewModel(Options options, QObject* parent = nullptr);
    ~SyncViewModel() override;

    // Published state.
    const SyncSettings& settings() const { return m_settings; }
    void setSettings(const SyncSettings& settings);
    const QString& email() const { return m_email; }
    void setEmail(const QString& email);
    const QString& password() const { return m_password; }
    void setPassword(const QString& password);
    const std::optional<Account>& account() const { return m_account; }
    const QList<AlbumEvent>& events() const { return m_events; }
    const QString& message() const { return m_message; }
    // A failure or a request to the user: the status line shows it in orange.
    bool messageIsWarning() const;
    bool isWorking() const { return m_isWorking; }
    const std::optional<QDateTime>& lastSyncedAt() const { return m_lastSyncedAt; }
    std::optional<AlbumEvent> selectedEvent() const;
    bool isPolling() const { return m_pollingTask != nullptr; }

    // Operations, as coroutines that callers may await (tests do). They never throw.
    QCoro::Task<void> restoreSession();
    QCoro::Task<void> signIn();
    QCoro::Task<void> reloadWorkspace();
    QCoro::Task<void> synchronize(bool includeEffects, bool background);

    // For the views: each starts its operation as a task of its own and returns at once.
    Q_INVOKABLE void requestSignIn();
    Q_INVOKABLE void requestReloadWorkspace();
    Q_INVOKABLE void requestSynchronize(bool includeEffects);

    Q_INVOKABLE void logout();
    Q_INVOKABLE void chooseFolder(kitewell::FolderKind kind);
    Q_INVOKABLE void persistSettings();
    Q_INVOKABLE void startPollingIfNeeded();
    // The album picker's change handler: remembers the chosen album's title, saves, and
    // restarts (or stops) polling.
    Q_INVOKABLE void eventChoiceChanged();
    // A switch's change handler: saves, and restarts (or stops) polling.
    Q_INVOKABLE void switchChanged();
    // The path of the folder a bookmark leads to, or an empty text when the bookmark is
    // absent, no longer resolves or is stale. Never starts access to the folder.
    Q_INVOKABLE QString folderPath(const QVariant& bookmark) const;

    // QML-facing forms of the optional properties.
    QVariant accountValue() const;
    QVariantList eventValues() const;
    QVariant lastSyncedAtValue() const;
    QVariant selectedEventValue() const;

    // The status text of a finished pass.
    static QString passMessage(const SyncResult& result, bool includeEffects, bool background);

Q_SIGNALS:
    void settingsChanged();
    void emailChanged();
    void passwordChanged();
    void accountChanged();
    void eventsChanged();
    void messageChanged();
    void isWorkingChanged();
    void lastSyncedAtChanged();
    void selectedEventChanged();
    // A sync pass has ended, whatever its outcome; `message` tells it.
    void passEnded();

private:
    QCoro::Task<void> loadWorkspace(KitewellAPI& api);
    QCoro::Task<void> runPass(bool includeEffects, bool background, std::shared_ptr<PollingTask> owner);
    QCoro::Task<void> poll(std::shared_ptr<PollingTask> task);
    void stopPolling();
    void setMessage(const QString& message);
    void setWorking(bool working);
    void setAccount(std::optional<Account> account);
    void setEvents(QList<AlbumEvent> events);
    void setLastSyncedAt(std::optional<QDateTime> moment);
    void launch(QCoro::Task<void> task);

    Options m_options;
    SyncSettings m_settings;
    QString m_email;
    QString m_password;
    std::optional<Account> m_account;
    QList<AlbumEvent> m_events;
    QString m_message;
    bool m_isWorking = false;
    std::optional<QDateTime> m_lastSyncedAt;
    std::shared_ptr<PollingTask> m_pollingTask;
    // The client of the pass in flight and the polling task that started it, if any, so
    // that stopping polling can stop its pass too.
    KitewellAPI* m_passClient = nullptr;
    std::weak_ptr<PollingTask> m_passOwner;
};

} // namespace kitewell
