#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velreg {

// Small dense row-major matrix of float or double. Value type; not thread-safe.
template <typename T>
class Matrix {
public:
    Matrix() = default;
    Matrix(int32_t rows, int32_t columns) { resize(rows, columns); }

    // Zero-filled rows × columns (negative sizes count as 0).
    void resize(int32_t rows, int32_t columns);
    static Matrix identity(int32_t size);

    int32_t rows() const { return m_rows; }
    int32_t columns() const { return m_columns; }
    bool empty() const { return m_values.empty(); }
    T& at(int32_t row, int32_t column) { return m_values[static_cast<size_t>(row) * m_columns + column]; }
    T at(int32_t row, int32_t column) const { return m_values[static_cast<size_t>(row) * m_columns + column]; }
    T* data() { return m_values.data(); }
    const T* data() const { return m_values.data(); }

private:
    int32_t m_rows = 0;
    int32_t m_columns = 0;
    std::vector<T> m_values;
};

using MatrixF = Matrix<float>;
using MatrixD = Matrix<double>;

// out = a · b. False (out untouched) when the inner sizes differ.
template <typename T>
bool multiply(const Matrix<T>& a, const Matrix<T>& b, Matrix<T>& out);

// out = aᵀ · a (columns × columns), with unrolled code for 4, 6 and 9 columns.
template <typename T>
void multiplyTransposedSelf(const Matrix<T>& a, Matrix<T>& out);

// out = aᵀ · b. False (out untouched) when the row counts differ.
template <typename T>
bool multiplyTransposed(const Matrix<T>& a, const Matrix<T>& b, Matrix<T>& out);

// Gauss–Jordan with partial pivoting. In float a pivot below 1e-7 in magnitude is singular; in
// double only an exact zero. On failure (also for a non-square input) `out` is left untouched.
template <typename T>
bool invert(const Matrix<T>& a, Matrix<T>& out);

// Solves a · x = b for square a (b: rows × k); same rules as invert, unless minPivot > 0: then a
// pivot of at most that magnitude is singular (for callers that know their matrix's scale).
template <typename T>
bool solve(const Matrix<T>& a, const Matrix<T>& b, Matrix<T>& x, T minPivot = T(0));

extern template class Matrix<float>;
extern template class Matrix<double>;

}  // namespace velreg
