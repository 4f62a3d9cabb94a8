#include "detector/stages.hpp"

namespace linara {
namespace {

class Polisher {
public:
    Polisher(LineRect& rect, const GradientField& field, float magnitude_threshold,
             double log_tests, std::size_t width, std::size_t height, std::size_t stride)
        : rect_(rect), field_(field), threshold_(magnitude_threshold), log_tests_(log_tests),
          width_(width), height_(height), stride_(stride), best_(score(rect)) {}

    double best() const { return best_; }
    bool good() const { return best_ > 0.0; }

    // Keeps the trial only when it scores strictly higher.
    void offer(const LineRect& trial) {
        const double s = score(trial);
        if (s > best_) {
            best_ = s;
            rect_ = trial;
        }
    }

    // Five halvings of the precision, the tolerance following as pi * p.
    void finer_precision() {
        double p = rect_.precision;
        for (int i = 0; i < 5; ++i) {
            p = p * 0.5;
            LineRect trial = rect_;
            trial.precision = p;
            trial.tolerance = kPi * p;
            offer(trial);
        }
    }

    void narrower() {
        double w = rect_.width;
        for (int i = 0; i < 5; ++i) {
            w = w - 0.5;
            if (w < 0.5) return;
            LineRect trial = rect_;
            trial.width = w;
            offer(trial);
        }
    }

    // Narrows the rectangle by moving its long edge opposite to side * nrm
    // inwards, keeping the other edge in place.
    void move_side(double side) {
        const LineRect start = rect_;
        const double nrm_x = -start.axis_y;
        const double nrm_y = start.axis_x;
        for (int i = 1; i <= 5; ++i) {
            const double w = start.width - 0.5 * i;
            if (w < 0.5) return;
            const double shift = i * 0.25 * side;
            LineRect trial = start;
            trial.x1 = start.x1 + shift * nrm_x;
            trial.y1 = start.y1 + shift * nrm_y;
            trial.x2 = start.x2 + shift * nrm_x;
            trial.y2 = start.y2 + shift * nrm_y;
            trial.width = w;
            offer(trial);
        }
    }

private:
    double score(const LineRect& r) const {
        return score_rect(r, field_, threshold_, log_tests_, width_, height_, stride_);
    }

    LineRect& rect_;
    const GradientField& field_;
    float threshold_;
    double log_tests_;
    std::size_t width_, height_, stride_;
    double best_;
};

}  // namespace

double polish_rect(LineRect& rect, const GradientField& field, float magnitude_threshold,
                   double log_tests, std::size_t width, std::size_t height, std::size_t stride) {
    Polisher polisher(rect, field, magnitude_threshold, log_tests, width, height, stride);
    if (polisher.good()) return polisher.best();
    polisher.finer_precision();
    if (polisher.good()) return polisher.best();
    polisher.narrower();
    if (polisher.good()) return polisher.best();
    polisher.move_side(1.0);
    if (polisher.good()) return polisher.best();
    polisher.move_side(-1.0);
    if (polisher.good()) return polisher.best();
    polisher.finer_precision();
    return polisher.best();
}

}  // namespace linara
