#pragma once

#include <cstddef>
#include <vector>

// A square or rectangular matrix stored as an array of vector pointers into
// one contiguous block: `Vectors()[k]` is vector k (a column for the
// integrators, a row for the dense linear algebra). Allocation happens only in
// Allocate, so hot paths can reuse it.
class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t vectors, std::size_t length) { Allocate(vectors, length); }
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;

    void Allocate(std::size_t vectors, std::size_t length) {
        data_.assign(vectors * length, 0.0);
        pointers_.resize(vectors);
        for (std::size_t k = 0; k < vectors; ++k) pointers_[k] = data_.data() + k * length;
        length_ = length;
    }
    void Release() {
        std::vector<double>().swap(data_);
        std::vector<double*>().swap(pointers_);
        length_ = 0;
    }
    bool Empty() const { return pointers_.empty(); }
    std::size_t Count() const { return pointers_.size(); }
    std::size_t Length() const { return length_; }
    double** Vectors() { return pointers_.data(); }
    double* operator[](std::size_t k) { return pointers_[k]; }
    const double* operator[](std::size_t k) const { return pointers_[k]; }

private:
    std::vector<double> data_;
    std::vector<double*> pointers_;
    std::size_t length_ = 0;
};
