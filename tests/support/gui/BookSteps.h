#pragma once

// Plays a book-editing scenario on a BookHost: steps separated by "; ", each a verb and an
// argument. Steps starting with '=' observe; play() returns the observations joined by "; ".
#include "BookHost.h"
#include "TestProfile.h"

#include "app/Exception.h"
#include "book/BookStore.h"
#include "storage/DbLock.h"

#include <QStandardItemModel>

inline QString play(BookHost &host, const QString &script)
{
    QStringList seen, failed;
    auto flat = [](QStringList l) { return l.join('/').replace('\n', '/'); };
    QMetaObject::Connection c = QObject::connect(host.book, &BookController::autoSaveFailed,
                                                 [&](const QString &id, const QString &m) { failed << id + ":" + m; });
    for (const QString &step : script.split("; ")) {
        const QString verb = step.section(' ', 0, 0), arg = step.section(' ', 1);
        const QString what = verb.mid(1);
        if (verb == "select") host.select(arg);
        else if (verb == "type") host.type(arg);
        else if (verb == "yes") host.prompts.answers << Ink::maYes;
        else if (verb == "no") host.prompts.answers << Ink::maNo;
        else if (verb == "dismiss") host.prompts.answers << -1;
        else if (verb == "tick") host.book->autoSaveTimerUpdate();
        else if (verb == "tickOnAsk") host.prompts.onMessage = [&host](int, const QString &) { host.book->autoSaveTimerUpdate(); };
        else if (verb == "save") seen << (host.book->saveArticle() ? "saved" : "unsaved");
        else if (verb == "clear") seen << (host.book->clearEditor() ? "cleared" : "kept");
        else if (verb == "sql") execSql(arg);
        else if (verb == "fail") execSql("CREATE TEMP TRIGGER fail BEFORE " + arg + " BEGIN SELECT RAISE(ABORT,'写不进'); END");
        else if (verb == "unfail") execSql("DROP TRIGGER temp.fail");
        else if (verb == "reload" || verb == "sync") host.book->loadTree(verb == "sync");
        else if (verb == "openid") host.book->openArticle(arg);
        else if (verb == "insert") host.book->insertEditorText(arg, true);
        else if (verb == "sortmod" || verb == "sortplain") host.book->setSortByModified(verb == "sortmod");
        else if (verb == "rename") host.book->model()->itemFromIndex(host.sourceOf(arg.section(' ', 0, 0)))->setText(arg.section(' ', 1));
        else if (verb == "red") { QTextCharFormat f; f.setForeground(Qt::red); host.editor->setCurrentCharFormat(f); }
        else if (verb == "delete") host.book->deleteCurrentNode();
        else if (verb == "store") { // straight to the store, past the editor
            try { BookStore::saveChapter(arg, "<p>x</p>", "x"); seen << "stored"; } catch (const Exception &) { seen << "refused"; }
        }
        // editor and tree agree on the open node, or both are shown
        else if (what == "open") seen << (host.book->currentChapterId() == host.currentId() ? host.currentId()
                                          : host.book->currentChapterId() + "/" + host.currentId());
        else if (what == "text") seen << host.editor->toPlainText() + (host.editor->document()->isModified() ? "*" : "");
        else if (what == "red") seen << (host.editor->textCursor().charFormat().foreground().color() == Qt::red ? "red" : "plain");
        else if (what == "ro") seen << (host.editor->isReadOnly() ? "ro" : "rw");
        else if (what == "plain") seen << plain(arg);
        else if (what == "has") // whether the editor shows the text, '*' when modified
            seen << (host.editor->toPlainText().contains(arg) ? "has " : "lacks ") + arg + (host.editor->document()->isModified() ? "*" : "");
        else if (what == "row") seen << row(arg.section(' ', 0, 0), arg.section(' ', 1));
        else if (what == "sql") seen << scalar(arg).toString();
        else if (what == "asked") seen << flat(host.prompts.questions());
        else if (what == "errors") seen << flat(host.prompts.errors());
        else if (what == "failed") seen << flat(failed);
        else if (what == "logged") seen << (todaysLog().contains(arg) ? "logged" : "not logged");
        else if (what == "tx") seen << QString::number(openTransactionCount());
        else if (what == "shape") seen << shape(host.book->model());
        else if (what == "shown") seen << shape(host.book->proxy(), host.view->fromSource(host.sourceOf(arg))); // as sorted
        else seen << "?" + step;
    }
    QObject::disconnect(c);
    return seen.join("; ");
}
