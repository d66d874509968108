#include "tools/velt-process/second_sampler.h"

#include "processing/view_field.h"

void SecondSampler::Take(int64_t second) {
    values_.unix_us = start_unix_us_ + second * 1000000;
    values_.spo2 = fields_[Spo2];
    values_.pulse = fields_[Pulse];
    values_.perfusion = fields_[Perfusion_IR];
    values_.rhbco = fields_[RHbCO];
    values_.status = fields_[StatusText];
    values_.link = state_;
    const LinkCounts counts = statistics_.Read();
    values_.frames = counts.frames;
    values_.bad = counts.bad_checksums;
    values_.lost = counts.Lost();
}
