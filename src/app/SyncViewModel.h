#pragma once

#include "app/FolderKind.h"
#include "app/Result.h"
#include "model/Records.h"
#include "storage/SyncSettings.h"
#include "sync/SyncProgress.h"
#include "sync/SyncResult.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace kitewell {

class FolderWatch;
class KitewellAPI;
class PollingTask;

// The one controller behind the window: session restore, sign-in and sign-out, the album
// list and choice, folder choice, settings persistence, sync passes, polling and the status
// line. Lives on the main thread. Every operation reports through `message` and never
// throws; none leaves `isWorking` true.
//
// The views read its properties and state what the user wants through its operations (choose
// an album, set a switch, choose a folder, start a pass); the rules that follow from a change
// are the controller's own.
class SyncViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(kitewell::SyncSettings settings READ settings NOTIFY settingsChanged)
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
    // The place of selectedEvent in `events`, -1 for none.
    Q_PROPERTY(int selectedEventIndex READ selectedEventIndex NOTIFY selectedEventChanged)
    // What the folder rows show: the chosen folder's path, or the row's prompt while the
    // folder is not chosen, no longer resolves or is stale.
    Q_PROPERTY(QString originalFolderText READ originalFolderText NOTIFY folderTextsChanged)
    Q_PROPERTY(QString effectFolderText READ effectFolderText NOTIFY folderTextsChanged)
    // The step of the pass under way that has files to handle: "正在下载原图 k/n" or
    // "正在回传精修图 k/n" with k and n; empty and 0 while there is none.
    Q_PROPERTY(QString progressText READ progressText NOTIFY progressChanged)
    Q_PROPERTY(int progressValue READ progressValue NOTIFY progressChanged)
    Q_PROPERTY(int progressMaximum READ progressMaximum NOTIFY progressChanged)

public:
    // Asks the user for a folder (title, message); nothing when they cancel.
    using FolderPicker = std::function<std::optional<QString>(const QString& title, const QString& message)>;

    struct Options {
        // Without one, every folder choice counts as cancelled.
        FolderPicker folderPicker;
        std::chrono::milliseconds pollingInterval{15'000};
        // Restore the stored session as soon as the event loop runs (off for tests that
        // want to drive restoreSession themselves).
        bool restoreAtStart = true;
        // The service origin used instead of the production origin (tests point it at a
        // local service); the program itself never sets it.
        std::optional<QString> serviceOrigin;
        // While polling returns files, watch the album's return folder so that a saved file
        // ends the polling wait early (off only to measure polling alone).
        bool watchReturnFolder = true;
    };

    explicit SyncViewModel(QObject* parent = nullptr);
    explicit SyncViewModel(Options options, QObject* parent = nullptr);
    ~SyncViewModel() override;

    // Published state.
    const SyncSettings& settings() const { return m_settings; }
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
    int selectedEventIndex() const;
    const QString& originalFolderText() const { return m_originalFolderText; }
    const QString& effectFolderText() const { return m_effectFolderText; }
    bool isPolling() const { return m_pollingTask != nullptr; }
    QString progressText() const;
    int progressValue() const { return m_progress ? m_progress->done : 0; }
    int progressMaximum() const { return m_progress ? m_progress->total : 0; }
    // Whether the last pass of this session failed (a polling pass stopped silently does not
    // count); a pass that goes well ends it, and so does signing in or out.
    bool lastPassFailed() const { return m_lastPassFailed; }

    // Operations, as tasks that callers may await (tests do). They never throw.
    QCoro::Task<void> restoreSession();
    QCoro::Task<void> signIn();
    QCoro::Task<void> reloadWorkspace();
    QCoro::Task<void> synchronize(bool includeEffects, bool background);

    // For the views: each starts its operation and returns at once.
    Q_INVOKABLE void requestSignIn();
    Q_INVOKABLE void requestReloadWorkspace();
    Q_INVOKABLE void requestSynchronize(bool includeEffects);
    // The pass asked for without choosing one (the tray's): with the returns when a return
    // folder is chosen, the downloads alone otherwise.
    Q_INVOKABLE void requestSynchronizeNow();

    Q_INVOKABLE void logout();
    // Choosing runs the change handler: the album's title is remembered, the settings saved
    // and polling restarted (or stopped). Choosing the album already chosen changes nothing.
    void chooseAlbum(std::optional<QString> eventId);
    // The album at `index` of `events`, or none for an index outside it (the picker's "请选择").
    Q_INVOKABLE void chooseAlbumAt(int index);
    // Each switch, when its value changes: saved, and polling restarted (or stopped).
    Q_INVOKABLE void setAutoSyncEnabled(bool enabled);
    Q_INVOKABLE void setAutoUploadEffects(bool enabled);
    Q_INVOKABLE void setAutoPublishEffects(bool enabled);
    Q_INVOKABLE void chooseFolder(kitewell::FolderKindNamespace::FolderKind kind);
    void persistSettings();
    void startPollingIfNeeded();

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
    void folderTextsChanged();
    void progressChanged();
    // A sync pass has ended, whatever its outcome; `message` tells it.
    void passEnded();
    // Just before passEnded, for a pass that failed with a message (not a polling pass
    // stopped silently).
    void passFailed();

private:
    // The one way an operation runs: `start` is called at once and may use the controller;
    // the task it returns must not. `finish` gets the task's result (or what `start` threw),
    // on the main thread and only while the controller lives; it may return a further task.
    template <typename Start, typename Finish> QCoro::Task<void> run(Start start, Finish finish);
    static void launch(QCoro::Task<void> task);

    QCoro::Task<void> finishSignIn(std::shared_ptr<KitewellAPI> api, const QString& token);
    void endWork(const QString& message);
    bool loadWorkspace(const WorkspaceBootstrap& bootstrap);
    qsizetype indexOfEvent(const std::optional<QString>& eventId) const;
    void albumChanged();
    void changeSwitch(bool SyncSettings::*field, bool enabled);
    void applyChoice(SyncSettings changed);
    QCoro::Task<void> runPass(bool includeEffects, bool background, std::shared_ptr<PollingTask> owner);
    void endPass(const Result<SyncResult>& pass, bool includeEffects, bool background);
    void setProgress(std::optional<SyncProgress> progress);
    QCoro::Task<void> poll(std::shared_ptr<PollingTask> task);
    void stopPolling();
    void watchReturnFolder();
    void refreshFolderTexts();

    void setSettings(SyncSettings settings);
    void setMessage(const QString& message);
    void setWorking(bool working);
    void setAccount(std::optional<Account> account);
    void setEvents(QList<AlbumEvent> events);
    void setLastSyncedAt(std::optional<QDateTime> moment);

    Options m_options;
    SyncSettings m_settings;
    QString m_email;
    QString m_password;
    std::optional<Account> m_account;
    QList<AlbumEvent> m_events;
    QString m_message;
    bool m_isWorking = false;
    std::optional<QDateTime> m_lastSyncedAt;
    bool m_lastPassFailed = false;
    std::shared_ptr<PollingTask> m_pollingTask;
    // Set while polling returns files, when the system can watch.
    std::unique_ptr<FolderWatch> m_returnWatch;
    // The client of the pass in flight and the polling task that started it, if any, so
    // that stopping polling can stop its pass too.
    std::shared_ptr<KitewellAPI> m_passClient;
    std::weak_ptr<PollingTask> m_passOwner;
    // The pass's step under way, while it has files to handle.
    std::optional<SyncProgress> m_progress;
    QString m_originalFolderText;
    QString m_effectFolderText;
    bool m_folderTextsRefreshing = false;
    bool m_folderTextsStale = false;
};

} // namespace kitewell
