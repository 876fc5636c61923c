#include "ui/CommandLine.h"

#include <cstdio>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

// The options the toolkit takes for itself, with one dash or two, before the program sees its
// own: a session manager restarts the program with -session, and the desktop may choose the
// platform or the style. These take a value, after "=" or as the next argument...
const QStringList kToolkitOptionsWithValue{u"platform"_s,    u"platformpluginpath"_s, u"platformtheme"_s,
                                           u"plugin"_s,      u"qmljsdebugger"_s,      u"qwindowgeometry"_s,
                                           u"qwindowicon"_s, u"qwindowtitle"_s,       u"session"_s,
                                           u"display"_s,     u"geometry"_s,           u"style"_s,
                                           u"stylesheet"_s};
// ...these none.
const QStringList kToolkitFlags{u"reverse"_s, u"widgetcount"_s, u"nograb"_s, u"dograb"_s, u"sync"_s};

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments) {
    CommandLine command;
    bool help = false, version = false;
    for (qsizetype index = 0; index < arguments.size(); ++index) {
        const QString& argument = arguments[index];
        const QString option = argument.startsWith(u"--"_s) ? argument.mid(2) : argument.mid(1);
        if (argument == u"--hidden"_s) {
            command.hidden = true;
        } else if (argument == u"-h"_s || argument == u"--help"_s) {
            help = true;
        } else if (argument == u"-v"_s || argument == u"--version"_s) {
            version = true;
        } else if (argument.startsWith(u'-') &&
                   kToolkitOptionsWithValue.contains(option.section(u'=', 0, 0))) {
            if (!option.contains(u'='))
                ++index; // its value
        } else if (!argument.startsWith(u'-') || !kToolkitFlags.contains(option)) {
            return {.action = Action::Refuse, .refused = argument};
        }
    }
    command.action = help ? Action::Help : version ? Action::Version : Action::Run;
    return command;
}

CommandLine CommandLine::parse(int argc, char** argv) {
    QStringList arguments;
    for (int index = 1; index < argc; ++index)
        arguments.append(QString::fromLocal8Bit(argv[index]));
    return parse(arguments);
}

QString CommandLine::usage() {
    return u"用法：kitewell-sync [选项]\n"
           u"鸢井同步助手：把直播相册新上传的原图同步到电脑，并回传精修图。\n"
           u"\n"
           u"选项：\n"
           u"  --hidden       在托盘中启动，不显示窗口（随桌面会话启动时使用）\n"
           u"  -h, --help     显示本帮助后退出\n"
           u"  -v, --version  显示版本后退出\n"_s;
}

int CommandLine::report() const {
    switch (action) {
    case Action::Help:
        std::fputs(usage().toLocal8Bit().constData(), stdout);
        return 0;
    case Action::Version:
        std::fputs("kitewell-sync " KITEWELL_VERSION "\n", stdout);
        return 0;
    case Action::Refuse:
        std::fputs(
            (u"kitewell-sync：无法识别的参数“%1”\n\n"_s.arg(refused) + usage()).toLocal8Bit().constData(),
            stderr);
        return 2;
    case Action::Run:
        break;
    }
    return 0;
}

} // namespace kitewell
