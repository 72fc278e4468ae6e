#include "kvnumedit.h"

#include "test_support.h"

#include <QDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace ostrel::vessolt::controls;
using namespace ostrel::vessolt::controls::testing;

namespace {

struct EditInDialog : ::testing::Test {
    ControlsScene scene;
    QDialog dialog;
    TKvNumEdit* edit = new TKvNumEdit(&dialog);
    QPushButton* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    EditInDialog() {
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(edit);
        layout->addWidget(ok);
        ok->setDefault(true);
        QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
        dialog.show();
        dialog.activateWindow();
        edit->setFocus();
    }
    void type(const char* text) {
        edit->selectAll();
        QTest::keyClicks(edit, QString::fromLatin1(text));
    }
};

} // namespace

TEST_F(EditInDialog, EnterCommitsBeforeTheDefaultButtonAccepts) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    double seenOnAccept = -1;
    QObject::connect(&dialog, &QDialog::accepted, [&] { seenOnAccept = edit->Value(); });
    type("25");
    EXPECT_EQ(edit->State(), esEditing);
    EXPECT_EQ(edit->palette().color(QPalette::Base), kvColor(clLime));
    EXPECT_EQ(edit->Value(), 0);
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(seenOnAccept, 25);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(edit->palette().color(QPalette::Base), kvColor(clWindow));
}

TEST_F(EditInDialog, EscapeWhileEditingRestoresAndKeepsTheDialogOpen) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    edit->SetValue(7);
    type("123");
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(edit->text(), "7");
    EXPECT_EQ(edit->State(), esNormal);
    QTest::keyClick(edit, Qt::Key_Escape);  // nothing left to undo: the dialog closes
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST_F(EditInDialog, BadTextIsRedSelectedAndEnterDoesNotClose) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    type("1x");
    EXPECT_EQ(edit->State(), esError);
    EXPECT_EQ(edit->palette().color(QPalette::Base), kvColor(clRed));
    EXPECT_EQ(edit->selectionStart(), 1);
    EXPECT_EQ(edit->selectedText(), "x");
    EXPECT_EQ(beepCount(), 1);
    QTest::keyClicks(edit, QStringLiteral("2"));  // the next key replaces the bad stretch
    EXPECT_EQ(edit->text(), "12");
    EXPECT_EQ(edit->State(), esEditing);
    QTest::keyClicks(edit, QStringLiteral("q"));
    EXPECT_EQ(beepCount(), 2);
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(edit->Value(), 0);
}

TEST_F(EditInDialog, AtTheLimitTheArrowIsSilentAndTheButtonStepBeeps) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    edit->SetMinValue(10);
    edit->SetOptions({eoLimitMin});
    edit->SetValue(20);
    QSignalSpy limits(edit, &TKvNumEdit::OnLimit);
    QSignalSpy values(edit, &TKvNumEdit::OnValueChanged);
    type("5");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(edit->text(), "10");
    EXPECT_TRUE(edit->LimitLo());
    EXPECT_EQ(limits.count(), 1);
    EXPECT_EQ(values.count(), 1);  // loaded when first shown
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(edit->Value(), 10);
    EXPECT_EQ(beepCount(), 0);
    edit->DownClick();
    EXPECT_EQ(beepCount(), 1);
    edit->SetValue(10);
    EXPECT_EQ(limits.count(), 1);
    EXPECT_EQ(values.count(), 1);
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->text(), "11");
    EXPECT_EQ(limits.count(), 2);
}

TEST_F(EditInDialog, LockedEditorBeepsForEveryCharacter) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    edit->SetEditorEnabled(false);
    QTest::keyClicks(edit, QStringLiteral("12"));
    EXPECT_EQ(edit->text(), "0");
    EXPECT_EQ(beepCount(), 2);
}

TEST_F(EditInDialog, LeavingCommitsAndBadTextDoesNotHoldTheFocus) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    type("3k");
    ok->setFocus();
    EXPECT_EQ(edit->Value(), 3000);
    edit->setFocus();
    type("3q");
    ok->setFocus();
    EXPECT_TRUE(ok->hasFocus());
    EXPECT_EQ(edit->State(), esError);
    EXPECT_EQ(edit->Value(), 3000);
}
