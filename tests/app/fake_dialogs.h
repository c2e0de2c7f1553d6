#pragma once

#include "app/platform/dialogs.h"

#include <QStringList>
#include <QWidget>
#include <deque>
#include <functional>
#include <vector>

// Answers the main window's boxes and dialogs and remembers what it was asked.
class FakeDialogs : public TDialogs {
public:
    struct Box {
        QString Title;
        QString Text;
        Icon Kind;
        Buttons Choice;
        bool ParentVisible;
    };
    std::vector<Box> Boxes;
    std::deque<Result> Answers; // for Yes/No boxes; Yes when empty
    std::vector<OpenRequest> OpenRequests;
    std::deque<std::optional<QString>> OpenAnswers;
    std::vector<SaveRequest> SaveRequests;
    std::deque<std::optional<SaveAnswer>> SaveAnswers;
    // Called with each box's text as it is shown.
    std::function<void(const QString& Text)> OnBox;

    Result MessageBox(QWidget* Parent, const QString& Title, const QString& Text, Icon Kind,
                      Buttons Choice) override {
        Boxes.push_back({Title, Text, Kind, Choice, Parent && Parent->isVisible()});
        if (OnBox) OnBox(Text);
        if (Choice == Buttons::Ok) return Result::Ok;
        if (Answers.empty()) return Result::Yes;
        const Result answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    std::optional<QString> OpenFile(QWidget*, const OpenRequest& Request) override {
        OpenRequests.push_back(Request);
        if (OpenAnswers.empty()) return std::nullopt;
        const bool cancelled = !OpenAnswers.front().has_value();
        const QString path = OpenAnswers.front().value_or(QString());
        OpenAnswers.pop_front();
        if (cancelled) return std::nullopt;
        return path;
    }
    std::optional<SaveAnswer> SaveFile(QWidget*, const SaveRequest& Request) override {
        SaveRequests.push_back(Request);
        if (SaveAnswers.empty()) return std::nullopt;
        const bool cancelled = !SaveAnswers.front().has_value();
        const SaveAnswer answer = SaveAnswers.front().value_or(SaveAnswer{});
        SaveAnswers.pop_front();
        if (cancelled) return std::nullopt;
        return answer;
    }

    QStringList Texts() const {
        QStringList texts;
        for (const Box& box : Boxes)
            texts << box.Text;
        return texts;
    }
};
