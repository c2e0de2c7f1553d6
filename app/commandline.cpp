#include "app/commandline.h"
#include "app/commandline_p.h"

#include "app/imaging.h"
#include "app/mainwindow.h"
#include "app/platform/dialogs.h"
#include "history/history.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <utility>

namespace commandline {

void Print(FILE* Stream, const QString& Text) {
    const QByteArray bytes = Text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), Stream);
    std::fflush(Stream);
}

namespace {

const char* const Usage =
    "Usage: imglift [FILE...]\n"
    "       imglift --upload FILE [--name NAME] [--notify | --no-notify]\n"
    "       imglift --delete NAME\n"
    "       imglift --test\n"
    "       imglift --history [--limit N] [--json]\n"
    "       imglift --delete-entry ID\n"
    "       imglift --help | --version\n"
    "\n"
    "Without options the window opens, with the last existing FILE loaded.\n"
    "  --upload FILE  scale FILE, encode it as JPEG and upload it with the stored settings;\n"
    "                 prints its web address (or its name on the server)\n"
    "  --name NAME    the name on the server (default: from FILE)\n"
    "  --notify, --no-notify  show a desktop notification after the upload, or not\n"
    "                 (default: when standard error is not a terminal)\n"
    "  --delete NAME  delete NAME on the server\n"
    "  --test         try the stored settings end to end: store a test picture, fetch it\n"
    "                 from the web address, remove it; one line per step\n"
    "  --history      list the recorded uploads, newest first: tab-separated columns\n"
    "                 under a header, or with --json one JSON object a line; --limit N\n"
    "                 lists the newest N\n"
    "  --delete-entry ID  delete the upload ID of the history from its server and\n"
    "                 mark it deleted\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 done; 1 not transmitted, not deleted or a test step failed; 2 bad usage,\n"
    "unsupported or unreadable file; 130 interrupted.\n";

// Options QApplication takes for itself (with one dash or two).
bool QtOption(QString Name) {
    static const QStringList Known = {"platform",
                                      "platformpluginpath",
                                      "platformtheme",
                                      "plugin",
                                      "qmljsdebugger",
                                      "qwindowgeometry",
                                      "qwindowicon",
                                      "qwindowtitle",
                                      "reverse",
                                      "session",
                                      "display",
                                      "geometry",
                                      "style",
                                      "stylesheet",
                                      "widgetcount",
                                      "title",
                                      "visual",
                                      "nograb",
                                      "dograb",
                                      "sync",
                                      "fn",
                                      "font",
                                      "bg",
                                      "background",
                                      "fg",
                                      "foreground",
                                      "btn",
                                      "button",
                                      "ncols",
                                      "cmap"};
    Name = Name.section('=', 0, 0);
    return Known.contains(Name);
}

struct TOptions {
    enum class TAction {
        Window,
        Upload,
        Delete,
        History,
        DeleteEntry,
        Test,
        Help,
        Version
    } Action = TAction::Window;
    QString File;
    std::optional<QString> Name;
    int Limit = -1;
    bool Json = false;
    qint64 Entry = 0;
    // Forced on or off; else when standard error is not a terminal.
    std::optional<bool> Notify;
    QString Error;
};

const QString Exclusive =
    QStringLiteral("--upload, --delete, --history, --delete-entry and --test exclude each other");

TOptions Parse(const QStringList& Arguments) {
    TOptions options;
    const auto fail = [&](const QString& Text) {
        options.Error = Text;
        return options;
    };
    const auto set = [&](TOptions::TAction Action) {
        if (options.Action != TOptions::TAction::Window && options.Action != Action) return false;
        options.Action = Action;
        return true;
    };
    for (int i = 0; i < Arguments.size(); ++i) {
        const QString& argument = Arguments[i];
        if (!argument.startsWith(QStringLiteral("--")) || argument == QStringLiteral("--")) {
            if (options.Action == TOptions::TAction::Window) continue;
            return fail(QStringLiteral("unexpected argument '%1'").arg(argument));
        }
        const QString name = argument.mid(2).section('=', 0, 0);
        const bool inlineValue = argument.contains('=');
        const auto value = [&]() -> std::optional<QString> {
            if (inlineValue) return argument.section('=', 1);
            if (i + 1 >= Arguments.size()) return std::nullopt;
            return Arguments[++i];
        };
        if (name == QStringLiteral("help") && !inlineValue) {
            options.Action = TOptions::TAction::Help;
            return options;
        }
        if (name == QStringLiteral("version") && !inlineValue) {
            options.Action = TOptions::TAction::Version;
            return options;
        }
        if (name == QStringLiteral("upload") || name == QStringLiteral("delete")) {
            const bool upload = name == QStringLiteral("upload");
            if (!set(upload ? TOptions::TAction::Upload : TOptions::TAction::Delete))
                return fail(Exclusive);
            const std::optional<QString> v = value();
            if (!v || v->isEmpty())
                return fail(
                    QStringLiteral("--%1 needs %2").arg(name, upload ? "a file" : "a name"));
            (upload ? options.File : options.Name.emplace()) = *v;
            continue;
        }
        if (name == QStringLiteral("test") && !inlineValue) {
            if (!set(TOptions::TAction::Test)) return fail(Exclusive);
            continue;
        }
        if (name == QStringLiteral("history") && !inlineValue) {
            if (!set(TOptions::TAction::History)) return fail(Exclusive);
            continue;
        }
        if (name == QStringLiteral("delete-entry")) {
            if (!set(TOptions::TAction::DeleteEntry)) return fail(Exclusive);
            const std::optional<QString> v = value();
            bool ok = false;
            options.Entry = v ? v->toLongLong(&ok) : 0;
            if (!ok || options.Entry <= 0)
                return fail(QStringLiteral("--delete-entry needs the number of an entry"));
            continue;
        }
        if (name == QStringLiteral("limit")) {
            const std::optional<QString> v = value();
            bool ok = false;
            options.Limit = v ? v->toInt(&ok) : -1;
            if (!ok || options.Limit < 0) return fail(QStringLiteral("--limit needs a number"));
            continue;
        }
        if (name == QStringLiteral("json") && !inlineValue) {
            options.Json = true;
            continue;
        }
        if ((name == QStringLiteral("notify") || name == QStringLiteral("no-notify")) &&
            !inlineValue) {
            options.Notify = name == QStringLiteral("notify");
            continue;
        }
        if (name == QStringLiteral("name") && options.Action != TOptions::TAction::Delete) {
            const std::optional<QString> v = value();
            if (!v || v->isEmpty()) return fail(QStringLiteral("--name needs a name"));
            options.Name = *v;
            continue;
        }
        if (QtOption(name) && options.Action == TOptions::TAction::Window) continue;
        return fail(QStringLiteral("unknown option '%1'").arg(argument));
    }
    if (options.Name &&
        (options.Action == TOptions::TAction::Window || options.Action == TOptions::TAction::Test))
        return fail(QStringLiteral("--name goes with --upload"));
    if ((options.Limit >= 0 || options.Json) && options.Action != TOptions::TAction::History)
        return fail(QStringLiteral("--limit and --json go with --history"));
    if (options.Notify && options.Action != TOptions::TAction::Upload)
        return fail(QStringLiteral("--notify and --no-notify go with --upload"));
    return options;
}

// Nobody to ask: the upload's confirmation is answered Yes, every message goes to standard
// error, and a server whose identity is not known is refused with how to trust it.
class TConsoleDialogs final : public TDialogs {
public:
    Result MessageBox(QWidget*, const QString&, const QString& Text, Icon,
                      Buttons Choice) override {
        if (Choice == Buttons::Ok) {
            Say(Text);
            return Result::Ok;
        }
        // The upload's own confirmation is what the command asked for; any other question
        // (trusting a server, say) is not the command's to answer.
        if (Text.startsWith(QStringLiteral("Upload ")) && Text.endsWith(QStringLiteral("' ?")))
            return Result::Yes;
        Say(Text + QStringLiteral("\nRefused: nobody to ask. Answer this question once in the "
                                  "program's window to say yes."));
        return Result::No;
    }
    std::optional<QString> OpenFile(QWidget*, const OpenRequest&) override { return {}; }
    std::optional<SaveAnswer> SaveFile(QWidget*, const SaveRequest&) override { return {}; }
    Result AskTrust(QWidget*, const QString&, const QString& Text,
                    const QString& HowToTrust) override {
        Say(Text.section('\n', 0, -2) + QStringLiteral("\nRefused: nobody to ask.\n") + HowToTrust);
        return Result::No;
    }

    void Say(const QString& Text) {
        EndLine();
        Print(stderr, Text);
        Said << Text;
    }
    // Ends a progress line still open on the terminal.
    void EndLine() {
        if (std::exchange(LineOpen, false)) std::fputc('\n', stderr);
    }
    QStringList Said;
    bool LineOpen = false;
};

// Ctrl+C reaches the event loop through a pipe: the handler may only write to it.
std::array<int, 2> GInterruptPipe{-1, -1};

extern "C" void OnInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(GInterruptPipe[1], &byte, 1);
    // A second Ctrl+C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

class TInterruptPipe {
public:
    TInterruptPipe() {
        if (::pipe2(GInterruptPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
    }
    ~TInterruptPipe() {
        std::signal(SIGINT, SIG_DFL);
        for (int& fd : GInterruptPipe)
            if (fd >= 0) ::close(std::exchange(fd, -1));
    }
    TInterruptPipe(const TInterruptPipe&) = delete;
    TInterruptPipe& operator=(const TInterruptPipe&) = delete;
    int ReadEnd() const { return GInterruptPipe[0]; }
};

// Whether the upload ends with a desktop notification.
bool Notifies(const TOptions& Options) {
    return Options.Action == TOptions::TAction::Upload &&
           Options.Notify.value_or(::isatty(STDERR_FILENO) != 1);
}

// Diagnostics of the libraries stay out of the command's output unless asked for.
void QuietLibraries() {
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "*.debug=false\n*.info=false\n*.warning=false");
}

int RunOnWindow(const TOptions& Options, const char* Program) {
    // No X or Wayland server needed: the window is never shown. A notification's "Copy link"
    // needs the clipboard of the display, when there is one.
    const bool notify = Notifies(Options);
    qputenv("QT_QPA_PLATFORM",
            notify && !qEnvironmentVariableIsEmpty("DISPLAY") ? "xcb;offscreen" : "offscreen");
    QuietLibraries();
    const TInterruptPipe interrupt;
    int qtArgc = 1;
    std::array<char*, 2> qtArgv{const_cast<char*>(Program), nullptr};
    QApplication app(qtArgc, qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("Velmoran ImgLift"));

    TConsoleDialogs dialogs;
    TForm1 form(dialogs, {});
    form.LoadData(&form);

    // Ctrl+C presses the abort button, again and again until the upload has given up: a
    // step about to start is ended as well as the running one.
    bool interrupted = false;
    QTimer aborter;
    aborter.setInterval(50);
    QObject::connect(&aborter, &QTimer::timeout, &form, [&] { form.SpeedButton4Click(); });
    QSocketNotifier notifier(interrupt.ReadEnd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &form, [&] {
        char byte = 0;
        while (::read(interrupt.ReadEnd(), &byte, 1) > 0) {
        }
        interrupted = true;
        form.SpeedButton4Click();
        // The test stops at once by itself, and still removes its picture.
        if (Options.Action != TOptions::TAction::Test) aborter.start();
    });

    const auto reason = [&] {
        if (!form.OutcomeReason.isEmpty() && !dialogs.Said.contains(form.OutcomeReason))
            dialogs.Say(form.OutcomeReason);
    };

    if (Options.Action == TOptions::TAction::Test) {
        QString failure;
        const bool passed = form.TestSettings(
            [](TSettingsTest::TStep Step, TSettingsTest::TState State, const QString& Text) {
                if (State == TSettingsTest::TState::Running) return;
                static const char* const Marks[] = {"", "ok", "FAILED", "skipped"};
                QString line = QStringLiteral("%1. %2: %3")
                                   .arg(int(Step) + 1)
                                   .arg(TSettingsTest::StepTitle(Step), Marks[int(State)]);
                if (!Text.isEmpty()) line += QStringLiteral(": ") + Text;
                Print(stdout, line);
            },
            failure);
        if (interrupted) {
            dialogs.Say(QStringLiteral("Test aborted by user."));
            return ExitInterrupted;
        }
        return passed ? ExitOk : ExitFailed;
    }

    if (Options.Action == TOptions::TAction::DeleteEntry) {
        const std::optional<THistoryEntry> entry = form.History().Entry(Options.Entry);
        if (!entry) {
            dialogs.Say(form.History().Problem().isEmpty()
                            ? QStringLiteral("imglift: no entry %1 in the upload history")
                                  .arg(Options.Entry)
                            : form.History().Problem());
            return ExitFailed;
        }
        bool deleted = false;
        form.Guard([&] { deleted = form.DeleteUploadedFile(*entry); });
        if (interrupted) return ExitInterrupted;
        if (deleted) return ExitOk;
        reason();
        return ExitFailed;
    }

    if (Options.Action == TOptions::TAction::Delete) {
        form.Edit6->setText(*Options.Name);
        form.Guard([&] { form.Button1Click(); });
        if (interrupted) return ExitInterrupted;
        if (form.Outcome == TForm1::TOutcome::Deleted) return ExitOk;
        reason();
        return ExitFailed;
    }

    // The upload's end, whichever it is: what the history said, and the notification.
    const auto finish = [&](int Code) {
        if (form.Outcome == TForm1::TOutcome::Transmitted && !form.History().Problem().isEmpty())
            dialogs.Say(form.History().Problem());
        if (notify && Code != ExitInterrupted)
            NotifyOutcome(form, Code == ExitOk, dialogs.Said.join('\n'));
        return Code;
    };
    form.ImageFile = Options.File;
    form.Guard([&] { form.ProcessImageFile(); });
    if (form.ImageFile.isEmpty()) return finish(ExitUsage);
    if (Options.Name) form.Edit10->setText(*Options.Name);
    if (interrupted) return ExitInterrupted;

    if (::isatty(STDERR_FILENO) == 1) {
        form.OnUploadProgress = [&, shown = -1](qint64 Count) mutable {
            const int percent = form.UploadSize > 0 ? int(Count * 100 / form.UploadSize) : 0;
            if (percent == std::exchange(shown, percent)) return;
            const QByteArray line = QStringLiteral("\r%1: %2% (%3 of %4 bytes)")
                                        .arg(form.Edit10->text())
                                        .arg(percent, 3)
                                        .arg(Count)
                                        .arg(form.UploadSize)
                                        .toLocal8Bit();
            std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
            std::fflush(stderr);
            dialogs.LineOpen = true;
        };
    }
    form.Guard([&] { form.BitBtn5Click(); });
    dialogs.EndLine();
    if (interrupted) {
        if (!dialogs.Said.contains(QStringLiteral("Transmission aborted by user.")))
            dialogs.Say(QStringLiteral("Transmission aborted by user."));
        return ExitInterrupted;
    }
    if (form.Outcome == TForm1::TOutcome::Transmitted) {
        Print(stdout, form.UploadAddress.isEmpty() ? form.Edit10->text() : form.UploadAddress);
        return finish(ExitOk);
    }
    reason();
    return finish(ExitFailed);
}

} // namespace

bool Wanted(int argc, const char* const* argv) {
    for (const QString& argument : FileArguments(argc, argv)) {
        if (!argument.startsWith(QStringLiteral("--")) || argument == QStringLiteral("--"))
            continue;
        if (QtOption(argument.mid(2)) || QFileInfo::exists(argument)) continue;
        return true;
    }
    return false;
}

int Run(int argc, const char* const* argv) {
    const TOptions options = Parse(FileArguments(argc, argv));
    if (!options.Error.isEmpty()) {
        Print(stderr, QStringLiteral("imglift: %1\nTry 'imglift --help'.").arg(options.Error));
        return ExitUsage;
    }
    switch (options.Action) {
    case TOptions::TAction::Help:
        std::fputs(Usage, stdout);
        return ExitOk;
    case TOptions::TAction::Version:
        std::puts("Velmoran ImgLift 1.0");
        return ExitOk;
    case TOptions::TAction::Window:
        // Only Qt's options and files: that is the window's business.
        Print(stderr, QStringLiteral("imglift: nothing to do\nTry 'imglift --help'."));
        return ExitUsage;
    case TOptions::TAction::History:
        QuietLibraries();
        return ListHistory(options.Limit, options.Json, argc > 0 ? argv[0] : "imglift");
    case TOptions::TAction::Upload:
    case TOptions::TAction::Delete:
    case TOptions::TAction::Test:
    case TOptions::TAction::DeleteEntry:
        break;
    }
    return RunOnWindow(options, argc > 0 ? argv[0] : "imglift");
}

} // namespace commandline
