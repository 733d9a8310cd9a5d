#pragma once
// Waiting for the detection worker without sleeping: the service runs one task at a time in
// request order, so once a detection queued now has finished, every earlier one has too.

#include "face_detection_module/facialpointsdetector.h"
#include "tests/support/testimages.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QSignalSpy>
#include <QTest>

namespace testsupport {

// Returns once every detection asked of detector so far has finished and its finished()
// signal has been delivered; fails the calling test after a minute.
inline void waitForDetectorIdle(core::FacialPointsDetector& detector)
{
    using Watcher = QFutureWatcher<core::FacialPointsDetector::DetectionResult>;
    auto marker = detector.detect(testimages::filled(8, 8, Qt::white));
    QVERIFY(marker);
    QSignalSpy finished(marker.get(), &Watcher::finished);
    QVERIFY2(marker->isFinished() || finished.wait(60000), "the detection service never finished");
    QCoreApplication::processEvents();
}

} // namespace testsupport
