#include "app/SyncViewModel.h"

#include "app/PollingTask.h"
#include "client/KitewellAPI.h"
#include "client/SyncClientError.h"
#include "credentials/KeychainStore.h"
#include "errors/Error.h"
#include "platform/FolderBookmark.h"
#include "storage/ServiceOrigin.h"
#include "storage/SyncStorage.h"
#include "sync/SyncEngine.h"

#include <QCollator>
#include <QCoroTimer>
#include <QLocale>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const QString kInitialMessage = u"登录后，选择相册与两个本地文件夹即可开始同步。"_s;

QString descriptionOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return u"未知错误。"_s;
    }
}

bool isUnauthorized(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const SyncClientError& e) {
        return e.errorCase() == SyncClientError::Case::unauthorized;
    } catch (...) {
        return false;
    }
}

bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

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

} // namespace

SyncViewModel::SyncViewModel(QObject* parent) : SyncViewModel(Options{}, parent) {}

SyncViewModel::SyncViewModel(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)) {
    m_message = kInitialMessage;
    SyncSettings loaded = SyncStorage::loadSettings().value_or(SyncSettings{});
    loaded.baseURL = m_options.serviceOrigin.value_or(productionOrigin());
    m_settings = loaded;
    if (m_options.restoreAtStart)
        QTimer::singleShot(0, this, [this] { launch(restoreSession()); });
}

SyncViewModel::~SyncViewModel() {
    stopPolling();
    if (m_passClient)
        m_passClient->cancel();
}

void SyncViewModel::launch(QCoro::Task<void> task) {
    // The task runs on by itself; the operations catch everything, so nothing is lost.
    Q_UNUSED(task);
}

// ---- published state ----

void SyncViewModel::setSettings(const SyncSettings& settings) {
    m_settings = settings;
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

std::optional<AlbumEvent> SyncViewModel::selectedEvent() const {
    if (!m_settings.eventId)
        return std::nullopt;
    for (const AlbumEvent& event : m_events) {
        if (event.id == *m_settings.eventId)
            return event;
    }
    return std::nullopt;
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

QVariant SyncViewModel::selectedEventValue() const {
    const std::optional<AlbumEvent> event = selectedEvent();
    return event ? QVariant::fromValue(*event) : QVariant();
}

// ---- session ----

QCoro::Task<void> SyncViewModel::restoreSession() {
    QPointer<SyncViewModel> self(this);
    const std::optional<QString> token = KeychainStore::readToken();
    if (!token)
        co_return;
    std::exception_ptr failure;
    try {
        KitewellAPI api(m_settings.baseURL, token);
        co_await loadWorkspace(api);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        if (isUnauthorized(failure))
            KeychainStore::deleteToken();
        setMessage(u"请重新登录以启动电脑同步。"_s);
        co_return;
    }
    setMessage(u"已恢复登录会话。"_s);
    startPollingIfNeeded();
}

QCoro::Task<void> SyncViewModel::signIn() {
    QPointer<SyncViewModel> self(this);
    if (trimmedSpacesAndTabs(m_email).isEmpty() || m_password.isEmpty()) {
        setMessage(u"请输入邮箱和密码。"_s);
        co_return;
    }
    setWorking(true);
    std::exception_ptr failure;
    try {
        KitewellAPI api(m_settings.baseURL, std::nullopt);
        const QString token = co_await api.signIn(m_email.trimmed(), m_password);
        if (!self)
            co_return;
        KeychainStore::saveToken(token);
        setPassword(QString());
        co_await loadWorkspace(api);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    setMessage(failure ? descriptionOf(failure) : u"已登录。选择相册和本地文件夹后，可开启自动同步。"_s);
    setWorking(false);
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

QCoro::Task<void> SyncViewModel::loadWorkspace(KitewellAPI& api) {
    QPointer<SyncViewModel> self(this);
    const WorkspaceBootstrap bootstrap = co_await api.bootstrap();
    if (!self)
        throw CancellationError();
    setAccount(bootstrap.account);
    setEvents(sortedByTitle(bootstrap.events));

    const bool chosenIsListed = m_settings.eventId && std::any_of(m_events.cbegin(), m_events.cend(),
                                                                  [this](const AlbumEvent& event) {
                                                                      return event.id == *m_settings.eventId;
                                                                  });
    if (chosenIsListed)
        co_return;
    SyncSettings changed = m_settings;
    changed.eventId = m_events.isEmpty() ? std::nullopt : std::optional(m_events.first().id);
    changed.eventTitle = m_events.isEmpty() ? std::nullopt : std::optional(m_events.first().title);
    setSettings(changed);
    persistSettings();
}

QCoro::Task<void> SyncViewModel::reloadWorkspace() {
    QPointer<SyncViewModel> self(this);
    if (!m_account)
        co_return;
    setWorking(true);
    std::exception_ptr failure;
    try {
        KitewellAPI api(m_settings.baseURL, KeychainStore::readToken());
        co_await loadWorkspace(api);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    setMessage(failure ? descriptionOf(failure) : u"相册列表已刷新。"_s);
    setWorking(false);
}

void SyncViewModel::chooseFolder(FolderKind kind) {
    const std::optional<QString> folder = m_options.folderPicker(folderTitle(kind), folderMessage(kind));
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
    setSettings(changed);
    persistSettings();
    startPollingIfNeeded();
    setMessage(folderChosenMessage(kind));
}

void SyncViewModel::persistSettings() {
    try {
        SyncStorage::saveSettings(m_settings);
    } catch (const Error& error) {
        setMessage(error.description());
    }
}

void SyncViewModel::eventChoiceChanged() {
    SyncSettings changed = m_settings;
    changed.eventTitle.reset();
    if (changed.eventId) {
        for (const AlbumEvent& event : std::as_const(m_events)) {
            if (event.id == *changed.eventId) {
                changed.eventTitle = event.title;
                break;
            }
        }
    }
    setSettings(changed);
    persistSettings();
    startPollingIfNeeded();
}

void SyncViewModel::switchChanged() {
    persistSettings();
    startPollingIfNeeded();
}

QString SyncViewModel::folderPath(const QVariant& bookmark) const {
    if (bookmark.isNull() || !bookmark.isValid())
        return {};
    try {
        const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark.toByteArray());
        return resolved.stale ? QString() : resolved.path;
    } catch (const Error&) {
        return {};
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

QCoro::Task<void> SyncViewModel::runPass(bool includeEffects, bool background,
                                         std::shared_ptr<PollingTask> owner) {
    if (m_isWorking)
        co_return;
    setWorking(true);
    QPointer<SyncViewModel> self(this);
    std::exception_ptr failure;
    SyncResult result;
    try {
        KitewellAPI api(m_settings.baseURL, KeychainStore::readToken());
        SyncEngine engine(api);
        m_passClient = &api;
        m_passOwner = owner;
        // Forget the client before it goes, however the pass ends.
        const auto forget = qScopeGuard([self] {
            if (self) {
                self->m_passClient = nullptr;
                self->m_passOwner.reset();
            }
        });
        result = co_await engine.synchronize(m_settings, includeEffects);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (!failure) {
        setLastSyncedAt(QDateTime::currentDateTime());
        setMessage(passMessage(result, includeEffects, background));
    } else {
        if (!(background && isCancellation(failure)))
            setMessage(descriptionOf(failure));
        if (isUnauthorized(failure))
            logout();
    }
    setWorking(false);
    Q_EMIT passEnded();
}

void SyncViewModel::stopPolling() {
    if (!m_pollingTask)
        return;
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
    launch(poll(m_pollingTask));
}

QCoro::Task<void> SyncViewModel::poll(std::shared_ptr<PollingTask> task) {
    QPointer<SyncViewModel> self(this);
    // The first pass starts right after the call that started polling has returned.
    QTimer next;
    next.setSingleShot(true);
    next.start(0);
    co_await next;
    while (self && !task->isCancelled()) {
        co_await self->runPass(self->m_settings.autoUploadEffects, true, task);
        if (!self || task->isCancelled())
            break;
        if (!co_await task->sleep(self->m_options.pollingInterval))
            break;
    }
}

} // namespace kitewell
