#include "app/SyncViewModel.h"

#include "app/PollingTask.h"
#include "client/KitewellAPI.h"
#include "credentials/KeychainStore.h"
#include "errors/Error.h"
#include "platform/FolderBookmark.h"
#include "platform/FolderWatch.h"
#include "platform/OffThread.h"
#include "storage/ServiceOrigin.h"
#include "storage/SyncStorage.h"
#include "sync/Naming.h"
#include "sync/SyncEngine.h"

#include <QCollator>
#include <QCoroTimer>
#include <QLocale>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const QString kInitialMessage = u"登录后，选择相册与两个本地文件夹即可开始同步。"_s;

// Spaces and tabs only: line breaks stay, as the sign-in form's check wants.
QString trimmedSpacesAndTabs(const QString& text) {
    auto isBlank = [](QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// The file browser's order: the user's locale, case and width ignored, digit runs by value.
QList<AlbumEvent> sortedByTitle(QList<AlbumEvent> events) {
    QLocale locale = QLocale::system();
    // The C locale turns numeric and case-insensitive collation off silently.
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(events.begin(), events.end(), [&collator](const AlbumEvent& a, const AlbumEvent& b) {
        return collator.compare(a.title, b.title) < 0;
    });
    return events;
}

// The folder panel's title, which is also the folder row's prompt.
QString folderTitle(FolderKind kind) {
    return kind == FolderKind::original ? u"选择原图同步文件夹"_s : u"选择精修回传文件夹"_s;
}

QString folderMessage(FolderKind kind) {
    return kind == FolderKind::original ? u"手机端新上传的原图将按相册自动保存到此文件夹。"_s
                                        : u"将修好的 JPG 放入相册对应子文件夹，助手会回传为精修效果图。"_s;
}

QString folderChosenMessage(FolderKind kind) {
    return kind == FolderKind::original ? u"原图文件夹已设置。"_s : u"精修回传文件夹已设置。"_s;
}

// The path a bookmark leads to, or the row's prompt when it is absent, no longer resolves or is
// stale. Resolving touches the disk: call it off the main thread. It never starts access.
QString folderText(const std::optional<QByteArray>& bookmark, FolderKind kind) {
    if (!bookmark)
        return folderTitle(kind);
    try {
        const FolderBookmark::Resolved resolved = FolderBookmark::resolve(*bookmark);
        return resolved.stale ? folderTitle(kind) : resolved.path;
    } catch (const Error&) {
        return folderTitle(kind);
    }
}

QCoro::Task<void> done() {
    co_return;
}

QCoro::Task<WorkspaceBootstrap> fetchWorkspace(QString origin, std::optional<QString> token) {
    KitewellAPI api(origin, std::move(token));
    co_return co_await api.bootstrap();
}

QCoro::Task<WorkspaceBootstrap> fetchWorkspaceWith(std::shared_ptr<KitewellAPI> api) {
    co_return co_await api->bootstrap();
}

QCoro::Task<SyncResult> synchronizeWith(std::shared_ptr<KitewellAPI> api, SyncSettings settings,
                                        bool includeEffects, SyncEngine::ProgressHandler progress) {
    SyncEngine engine(*api);
    engine.setProgressHandler(std::move(progress));
    co_return co_await engine.synchronize(std::move(settings), includeEffects);
}

// A client that has signed in, and the token it now carries.
struct SignedIn {
    std::shared_ptr<KitewellAPI> api;
    QString token;
};

QCoro::Task<SignedIn> signInAt(QString origin, QString email, QString password) {
    auto api = std::make_shared<KitewellAPI>(origin, std::nullopt);
    QString token = co_await api->signIn(std::move(email), std::move(password));
    co_return SignedIn{std::move(api), std::move(token)};
}

struct FolderTexts {
    QString original;
    QString effect;
};

} // namespace

SyncViewModel::SyncViewModel(QObject* parent) : SyncViewModel(Options{}, parent) {}

SyncViewModel::SyncViewModel(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_message(kInitialMessage),
      m_originalFolderText(folderTitle(FolderKind::original)),
      m_effectFolderText(folderTitle(FolderKind::effect)) {
    SyncSettings loaded = SyncStorage::loadSettings().value_or(SyncSettings{});
    loaded.baseURL = m_options.serviceOrigin.value_or(productionOrigin());
    m_settings = loaded;

    // The folder texts are worked out anew whenever anything shown changes, as a redraw
    // would, so a folder deleted meanwhile shows its prompt again.
    for (const auto changed : {&SyncViewModel::settingsChanged, &SyncViewModel::accountChanged,
                               &SyncViewModel::eventsChanged, &SyncViewModel::messageChanged,
                               &SyncViewModel::isWorkingChanged, &SyncViewModel::lastSyncedAtChanged})
        connect(this, changed, this, &SyncViewModel::refreshFolderTexts);
    refreshFolderTexts();

    // A pass cannot start while another operation works: changes to return wait for its end.
    connect(this, &SyncViewModel::isWorkingChanged, this, [this] {
        if (m_pollingTask)
            m_pollingTask->setHeld(m_isWorking);
    });
    // A refreshed list may rename the album, and with it its return folder.
    connect(this, &SyncViewModel::eventsChanged, this, &SyncViewModel::watchReturnFolder);

    if (m_options.restoreAtStart)
        QTimer::singleShot(0, this, [this] { launch(restoreSession()); });
}

SyncViewModel::~SyncViewModel() {
    stopPolling();
    if (m_passClient)
        m_passClient->cancel();
}

// ---- running operations ----

template <typename Start, typename Finish> QCoro::Task<void> SyncViewModel::run(Start start, Finish finish) {
    QPointer<SyncViewModel> self(this);
    auto result = co_await attempt(std::move(start));
    // Gone while the work ran: nobody is left to tell.
    if (!self)
        co_return;
    if constexpr (std::is_void_v<std::invoke_result_t<Finish&, decltype(result)>>)
        finish(std::move(result));
    else
        co_await finish(std::move(result));
}

void SyncViewModel::launch(QCoro::Task<void> task) {
    // Nobody waits for it, and nothing is lost: a QCoro 0.8 task that is let go runs on to its
    // end and then frees itself, and run() has caught every error by then.
    Q_UNUSED(task);
}

// Ends an operation that set `isWorking`.
void SyncViewModel::endWork(const QString& message) {
    setMessage(message);
    setWorking(false);
}

// ---- published state ----

void SyncViewModel::setSettings(SyncSettings settings) {
    m_settings = std::move(settings);
    Q_EMIT settingsChanged();
    Q_EMIT selectedEventChanged();
}

void SyncViewModel::setEmail(const QString& email) {
    m_email = email;
    Q_EMIT emailChanged();
}

void SyncViewModel::setPassword(const QString& password) {
    m_password = password;
    Q_EMIT passwordChanged();
}

void SyncViewModel::setMessage(const QString& message) {
    m_message = message;
    Q_EMIT messageChanged();
}

void SyncViewModel::setWorking(bool working) {
    m_isWorking = working;
    Q_EMIT isWorkingChanged();
}

void SyncViewModel::setAccount(std::optional<Account> account) {
    m_account = std::move(account);
    m_lastPassFailed = false; // neither a new session nor its end has a failed pass yet
    Q_EMIT accountChanged();
}

void SyncViewModel::setEvents(QList<AlbumEvent> events) {
    m_events = std::move(events);
    Q_EMIT eventsChanged();
    Q_EMIT selectedEventChanged();
}

void SyncViewModel::setLastSyncedAt(std::optional<QDateTime> moment) {
    m_lastSyncedAt = std::move(moment);
    Q_EMIT lastSyncedAtChanged();
}

bool SyncViewModel::messageIsWarning() const {
    return m_message.contains(u"无法"_s) || m_message.contains(u"请"_s);
}

// The first album in list order with exactly this id; -1 when there is none or no id.
qsizetype SyncViewModel::indexOfEvent(const std::optional<QString>& eventId) const {
    if (!eventId)
        return -1;
    const auto found = std::find_if(m_events.cbegin(), m_events.cend(),
                                    [&eventId](const AlbumEvent& event) { return event.id == *eventId; });
    return found == m_events.cend() ? -1 : found - m_events.cbegin();
}

std::optional<AlbumEvent> SyncViewModel::selectedEvent() const {
    const qsizetype index = indexOfEvent(m_settings.eventId);
    return index < 0 ? std::nullopt : std::optional(m_events[index]);
}

int SyncViewModel::selectedEventIndex() const {
    return int(indexOfEvent(m_settings.eventId));
}

QVariant SyncViewModel::accountValue() const {
    return m_account ? QVariant::fromValue(*m_account) : QVariant();
}

QVariantList SyncViewModel::eventValues() const {
    QVariantList values;
    values.reserve(m_events.size());
    for (const AlbumEvent& event : m_events)
        values.append(QVariant::fromValue(event));
    return values;
}

QVariant SyncViewModel::lastSyncedAtValue() const {
    return m_lastSyncedAt ? QVariant(*m_lastSyncedAt) : QVariant();
}

QString SyncViewModel::progressText() const {
    if (!m_progress)
        return {};
    const QString step =
        m_progress->step == SyncProgress::Step::Downloading ? u"正在下载原图 "_s : u"正在回传精修图 "_s;
    return step + QString::number(m_progress->done) + u'/' + QString::number(m_progress->total);
}

void SyncViewModel::setProgress(std::optional<SyncProgress> progress) {
    // A step with nothing to handle shows nothing.
    if (progress && progress->total == 0)
        progress.reset();
    if (progress == m_progress)
        return;
    m_progress = progress;
    Q_EMIT progressChanged();
}

QVariant SyncViewModel::selectedEventValue() const {
    const std::optional<AlbumEvent> event = selectedEvent();
    return event ? QVariant::fromValue(*event) : QVariant();
}

// Resolving touches the disk, so it runs off the main thread; changes that arrive meanwhile
// are worked out once it is done.
void SyncViewModel::refreshFolderTexts() {
    if (m_folderTextsRefreshing) {
        m_folderTextsStale = true;
        return;
    }
    m_folderTextsRefreshing = true;
    launch(run(
        [this] {
            return offThread([original = m_settings.originalDirectoryBookmark,
                              effect = m_settings.effectDirectoryBookmark] {
                return FolderTexts{folderText(original, FolderKind::original),
                                   folderText(effect, FolderKind::effect)};
            });
        },
        [this](Result<FolderTexts> texts) {
            m_folderTextsRefreshing = false;
            if (texts.ok() && (texts.value->original != m_originalFolderText ||
                               texts.value->effect != m_effectFolderText)) {
                m_originalFolderText = texts.value->original;
                m_effectFolderText = texts.value->effect;
                Q_EMIT folderTextsChanged();
            }
            if (std::exchange(m_folderTextsStale, false))
                refreshFolderTexts();
        }));
}

// ---- session ----

QCoro::Task<void> SyncViewModel::restoreSession() {
    const std::optional<QString> token = KeychainStore::readToken();
    if (!token)
        return done();
    return run([this, token] { return fetchWorkspace(m_settings.baseURL, token); },
               [this](const Result<WorkspaceBootstrap>& loaded) {
                   if (!loaded.ok()) {
                       // Only a token the service refused is forgotten; the next start tries again.
                       if (loaded.failure->isUnauthorized())
                           KeychainStore::deleteToken();
                       setMessage(u"请重新登录以启动电脑同步。"_s);
                       return;
                   }
                   loadWorkspace(*loaded.value);
                   setMessage(u"已恢复登录会话。"_s);
                   startPollingIfNeeded();
               });
}

QCoro::Task<void> SyncViewModel::signIn() {
    if (trimmedSpacesAndTabs(m_email).isEmpty() || m_password.isEmpty()) {
        setMessage(u"请输入邮箱和密码。"_s);
        return done();
    }
    setWorking(true);
    return run([this] { return signInAt(m_settings.baseURL, m_email.trimmed(), m_password); },
               [this](Result<SignedIn> signedIn) {
                   if (signedIn.ok())
                       return finishSignIn(std::move(signedIn.value->api), signedIn.value->token);
                   endWork(signedIn.failure->text);
                   return done();
               });
}

// The token is stored and the password emptied before the workspace is loaded through the same
// client; a failure after that undoes neither.
QCoro::Task<void> SyncViewModel::finishSignIn(std::shared_ptr<KitewellAPI> api, const QString& token) {
    return run(
        [this, api = std::move(api), token] {
            KeychainStore::saveToken(token);
            setPassword(QString());
            return fetchWorkspaceWith(api);
        },
        [this](const Result<WorkspaceBootstrap>& loaded) {
            if (!loaded.ok())
                return endWork(loaded.failure->text);
            loadWorkspace(*loaded.value);
            endWork(u"已登录。选择相册和本地文件夹后，可开启自动同步。"_s);
        });
}

void SyncViewModel::logout() {
    stopPolling();
    KeychainStore::deleteToken();
    setAccount(std::nullopt);
    setEvents({});
    setPassword(QString());
    setMessage(u"已退出电脑同步助手。"_s);
}

// ---- workspace, album and folders ----

// Shows the account and its albums, and keeps the chosen album or, when it is no longer
// listed, chooses the first by title and saves that. True when the chosen album changed.
bool SyncViewModel::loadWorkspace(const WorkspaceBootstrap& bootstrap) {
    setAccount(bootstrap.account);
    setEvents(sortedByTitle(bootstrap.events));
    // Still listed: kept as it is, its old title included.
    if (indexOfEvent(m_settings.eventId) >= 0)
        return false;
    SyncSettings changed = m_settings;
    changed.eventId = m_events.isEmpty() ? std::nullopt : std::optional(m_events.first().id);
    changed.eventTitle = m_events.isEmpty() ? std::nullopt : std::optional(m_events.first().title);
    const bool replaced = changed.eventId != m_settings.eventId;
    setSettings(std::move(changed));
    persistSettings();
    return replaced;
}

QCoro::Task<void> SyncViewModel::reloadWorkspace() {
    if (!m_account)
        return done();
    setWorking(true);
    return run([this] { return fetchWorkspace(m_settings.baseURL, KeychainStore::readToken()); },
               [this](const Result<WorkspaceBootstrap>& loaded) {
                   const bool albumReplaced = loaded.ok() && loadWorkspace(*loaded.value);
                   endWork(loaded.ok() ? u"相册列表已刷新。"_s : loaded.failure->text);
                   // An album the refresh chose in place of a vanished one is a change of album
                   // (one that arrives with the sign-in or restore is where the screen starts).
                   if (albumReplaced)
                       albumChanged();
               });
}

void SyncViewModel::chooseAlbum(std::optional<QString> eventId) {
    if (eventId == m_settings.eventId)
        return;
    SyncSettings changed = m_settings;
    changed.eventId = std::move(eventId);
    setSettings(std::move(changed));
    albumChanged();
}

void SyncViewModel::chooseAlbumAt(int index) {
    chooseAlbum(index >= 0 && index < m_events.size() ? std::optional(m_events[index].id) : std::nullopt);
}

// The change handler of the album choice.
void SyncViewModel::albumChanged() {
    SyncSettings changed = m_settings;
    const qsizetype index = indexOfEvent(changed.eventId);
    changed.eventTitle = index < 0 ? std::nullopt : std::optional(m_events[index].title);
    applyChoice(std::move(changed));
}

void SyncViewModel::setAutoSyncEnabled(bool enabled) {
    changeSwitch(&SyncSettings::autoSyncEnabled, enabled);
}

void SyncViewModel::setAutoUploadEffects(bool enabled) {
    changeSwitch(&SyncSettings::autoUploadEffects, enabled);
}

void SyncViewModel::setAutoPublishEffects(bool enabled) {
    changeSwitch(&SyncSettings::autoPublishEffects, enabled);
}

void SyncViewModel::changeSwitch(bool SyncSettings::*field, bool enabled) {
    if (m_settings.*field == enabled)
        return;
    SyncSettings changed = m_settings;
    changed.*field = enabled;
    applyChoice(std::move(changed));
}

void SyncViewModel::chooseFolder(FolderKind kind) {
    const std::optional<QString> folder = m_options.folderPicker
                                              ? m_options.folderPicker(folderTitle(kind), folderMessage(kind))
                                              : std::nullopt;
    if (!folder || folder->isEmpty())
        return;
    QByteArray bookmark;
    try {
        bookmark = FolderBookmark::create(*folder);
    } catch (const Error& error) {
        setMessage(error.description());
        return;
    }
    SyncSettings changed = m_settings;
    (kind == FolderKind::original ? changed.originalDirectoryBookmark : changed.effectDirectoryBookmark) =
        bookmark;
    applyChoice(std::move(changed));
    setMessage(folderChosenMessage(kind));
}

// A choice of the user's takes effect: shown, saved, and polling restarted (or stopped).
void SyncViewModel::applyChoice(SyncSettings changed) {
    setSettings(std::move(changed));
    persistSettings();
    startPollingIfNeeded();
}

void SyncViewModel::persistSettings() {
    try {
        SyncStorage::saveSettings(m_settings);
    } catch (const Error& error) {
        setMessage(error.description());
    }
}

// ---- passes and polling ----

void SyncViewModel::requestSignIn() {
    launch(signIn());
}

void SyncViewModel::requestReloadWorkspace() {
    launch(reloadWorkspace());
}

void SyncViewModel::requestSynchronize(bool includeEffects) {
    launch(synchronize(includeEffects, false));
}

void SyncViewModel::requestSynchronizeNow() {
    requestSynchronize(m_settings.effectDirectoryBookmark.has_value());
}

QCoro::Task<void> SyncViewModel::synchronize(bool includeEffects, bool background) {
    return runPass(includeEffects, background, nullptr);
}

QString SyncViewModel::passMessage(const SyncResult& result, bool includeEffects, bool background) {
    QStringList items;
    if (result.downloadedOriginals >= 1)
        items.append(u"下载原图 "_s + QString::number(result.downloadedOriginals) + u" 张"_s);
    if (result.uploadedEffects >= 1)
        items.append(u"回传精修图 "_s + QString::number(result.uploadedEffects) + u" 张"_s);
    if (result.publishedEffects >= 1)
        items.append(u"发布 "_s + QString::number(result.publishedEffects) + u" 张"_s);
    QString text;
    if (!items.isEmpty())
        text = u"同步完成："_s + items.join(u"，"_s) + u"。"_s;
    else
        text = background ? u"已检查：没有需要同步的新文件。"_s : u"同步完成：没有新的原图或精修图。"_s;
    if (result.unmatchedEffects >= 1 && includeEffects)
        text += u" 有 "_s + QString::number(result.unmatchedEffects) +
                u" 张精修图无法匹配原图，请保留下载文件名中照片 ID 前缀。"_s;
    return text;
}

// A fresh client and engine for every pass; `owner` is the polling task that started it.
QCoro::Task<void> SyncViewModel::runPass(bool includeEffects, bool background,
                                         std::shared_ptr<PollingTask> owner) {
    if (m_isWorking)
        return done();
    setWorking(true);
    return run(
        [this, includeEffects, owner] {
            m_passClient = std::make_shared<KitewellAPI>(m_settings.baseURL, KeychainStore::readToken());
            m_passOwner = owner;
            // Told on the main thread as the pass goes on, when the controller may be gone.
            auto progress = [self = QPointer(this)](const SyncProgress& step) {
                if (self)
                    self->setProgress(step);
            };
            return synchronizeWith(m_passClient, m_settings, includeEffects, std::move(progress));
        },
        [this, includeEffects, background](const Result<SyncResult>& pass) {
            endPass(pass, includeEffects, background);
        });
}

void SyncViewModel::endPass(const Result<SyncResult>& pass, bool includeEffects, bool background) {
    m_passClient.reset();
    m_passOwner.reset();
    setProgress(std::nullopt);
    // Stopping polling stops its pass, silently: it tells nothing either way.
    const bool silent = !pass.ok() && background && pass.failure->isCancellation();
    if (pass.ok()) {
        setLastSyncedAt(QDateTime::currentDateTime());
        setMessage(passMessage(*pass.value, includeEffects, background));
    } else {
        if (!silent)
            setMessage(pass.failure->text);
        if (pass.failure->isUnauthorized())
            logout();
    }
    if (!silent)
        m_lastPassFailed = !pass.ok();
    setWorking(false);
    if (!pass.ok() && !silent)
        Q_EMIT passFailed();
    Q_EMIT passEnded();
}

void SyncViewModel::stopPolling() {
    if (!m_pollingTask)
        return;
    m_returnWatch.reset();
    m_pollingTask->cancel();
    if (m_passClient && m_passOwner.lock() == m_pollingTask)
        m_passClient->cancel();
    m_pollingTask.reset();
}

void SyncViewModel::startPollingIfNeeded() {
    stopPolling();
    if (!m_settings.autoSyncEnabled || !m_account || !m_settings.eventId ||
        !m_settings.originalDirectoryBookmark ||
        (m_settings.autoUploadEffects && !m_settings.effectDirectoryBookmark))
        return;
    m_pollingTask = std::make_shared<PollingTask>();
    m_pollingTask->setHeld(m_isWorking);
    launch(poll(m_pollingTask));
    watchReturnFolder();
}

// While polling returns files, the album's return folder is watched, and a saved file ends
// the polling wait early; where no watch can be set, polling goes on alone. The album's folder
// name comes from the album as listed: known before the first pass, so the first file saved is
// seen, and followed when a refreshed list renames the album.
void SyncViewModel::watchReturnFolder() {
    std::optional<std::pair<QString, QString>> target; // root, album folder
    const std::optional<AlbumEvent> album = selectedEvent();
    if (m_pollingTask && m_options.watchReturnFolder && m_settings.autoUploadEffects && album &&
        m_settings.effectDirectoryBookmark) {
        try {
            const FolderBookmark::Resolved root =
                FolderBookmark::resolve(*m_settings.effectDirectoryBookmark);
            const QString name = naming::albumFolderName(*album);
            if (!root.stale && naming::isSafeIdComponent(name))
                target = std::pair(root.path, name);
        } catch (const Error&) {
            // The pass reports what is wrong with the folder.
        }
    }
    if (m_returnWatch && target && std::pair(m_returnWatch->root(), m_returnWatch->name()) == *target)
        return;
    m_returnWatch.reset();
    if (!target)
        return;
    m_returnWatch = std::make_unique<FolderWatch>(target->first, target->second);
    connect(m_returnWatch.get(), &FolderWatch::fileChanged, this, [this](const QString& fileName) {
        if (naming::isEffectFileName(fileName))
            m_pollingTask->noteChange();
    });
    connect(m_returnWatch.get(), &FolderWatch::eventsLost, this, [this] { m_pollingTask->noteChange(); });
}

// The controller cancels its polling task before it goes, so the controller is there for
// as long as `task` is not cancelled.
QCoro::Task<void> SyncViewModel::poll(std::shared_ptr<PollingTask> task) {
    // The first pass starts right after the call that started polling has returned.
    QTimer next;
    next.setSingleShot(true);
    next.start(0);
    co_await next;
    while (!task->isCancelled()) {
        // A pass that another operation keeps from starting leaves the changes for the next.
        if (!m_isWorking)
            task->passStarting();
        co_await runPass(m_settings.autoUploadEffects, true, task);
        if (task->isCancelled())
            break;
        // The pass may have made the album's return folder.
        if (m_returnWatch)
            m_returnWatch->attach();
        if (!co_await task->sleep(m_options.pollingInterval))
            break;
    }
}

} // namespace kitewell
