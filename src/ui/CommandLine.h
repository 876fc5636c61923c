#pragma once

#include <QString>
#include <QStringList>

namespace kitewell {

// The program's command line. "--hidden" starts it in the tray; "--help" and "--version"
// only print and end; the toolkit's own options (-session, -platform, -style...) are left to
// it. It is read before anything of the desktop is opened, so that --help and --version need
// no display.
struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };

    Action action = Action::Run;
    // Start with the window hidden (a start with the desktop session).
    bool hidden = false;
    // The first argument not understood, when the action is Refuse.
    QString refused;

    // The arguments after the program's name.
    static CommandLine parse(const QStringList& arguments);
    static CommandLine parse(int argc, char** argv);

    static QString usage();
    // For every action but Run: prints what it asks for (a refusal on standard error) and
    // returns the process's exit status.
    int report() const;
};

} // namespace kitewell
