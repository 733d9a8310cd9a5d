#pragma once
// Hands a detection service's initializingFinished, which it emits on its worker, to the test's
// thread, so that a QSignalSpy on the relay grows its list there only, where the test reads it.
// A test that uses it lists this header among its sources, for moc.

#include "face_detection_module/facialpointsdetector.h"

#include <QObject>

class LoadEndRelay : public QObject
{
    Q_OBJECT
public:
    explicit LoadEndRelay(core::FacialPointsDetector* detector)
    {
        connect(detector, &core::FacialPointsDetector::initializingFinished, this, &LoadEndRelay::loadEnded,
                Qt::QueuedConnection);
    }

signals:
    void loadEnded();
};
