#include "registration/Matrix.h"

#include <cmath>
#include <type_traits>
#include <utility>

namespace velreg {
namespace {

// Pivots smaller than this mark a single-precision system as singular; double trusts any non-zero.
template <typename T>
constexpr T singularLimit()
{
    if constexpr (std::is_same_v<T, float>)
        return 1e-7f;
    else
        return 0.0;
}

// The library rule (float: below 1e-7; double: exactly 0), or a caller's limit when above 0.
template <typename T>
bool isSingular(T pivot, T minPivot)
{
    if (minPivot > T(0))
        return std::fabs(pivot) <= minPivot;
    if constexpr (std::is_same_v<T, float>)
        return std::fabs(pivot) < singularLimit<T>();
    else
        return pivot == 0.0;
}

// Gauss–Jordan on the augmented rows [a | b] in place; b gets the solution.
template <typename T>
bool eliminate(Matrix<T>& a, Matrix<T>& b, T minPivot)
{
    const int32_t n = a.rows();
    const int32_t k = b.columns();
    for (int32_t col = 0; col < n; ++col) {
        int32_t pivotRow = col;
        for (int32_t r = col + 1; r < n; ++r)
            if (std::fabs(a.at(r, col)) > std::fabs(a.at(pivotRow, col)))
                pivotRow = r;
        if (isSingular(a.at(pivotRow, col), minPivot))
            return false;
        if (pivotRow != col) {
            for (int32_t c = 0; c < n; ++c)
                std::swap(a.at(col, c), a.at(pivotRow, c));
            for (int32_t c = 0; c < k; ++c)
                std::swap(b.at(col, c), b.at(pivotRow, c));
        }
        const T pivot = a.at(col, col);
        for (int32_t r = 0; r < n; ++r) {
            if (r == col)
                continue;
            const T factor = a.at(r, col) / pivot;
            if (factor == T(0))
                continue;
            for (int32_t c = col; c < n; ++c)
                a.at(r, c) -= factor * a.at(col, c);
            for (int32_t c = 0; c < k; ++c)
                b.at(r, c) -= factor * b.at(col, c);
        }
    }
    for (int32_t r = 0; r < n; ++r) {
        const T diagonal = a.at(r, r);
        if (isSingular(diagonal, minPivot))
            continue;
        for (int32_t c = 0; c < k; ++c)
            b.at(r, c) /= diagonal;
    }
    return true;
}

template <typename T, int32_t Columns>
void transposedSelfFixed(const Matrix<T>& a, Matrix<T>& out)
{
    T sums[Columns][Columns] = {};
    for (int32_t r = 0; r < a.rows(); ++r) {
        const T* row = a.data() + static_cast<size_t>(r) * Columns;
        for (int32_t i = 0; i < Columns; ++i)
            for (int32_t j = i; j < Columns; ++j)
                sums[i][j] += row[i] * row[j];
    }
    for (int32_t i = 0; i < Columns; ++i)
        for (int32_t j = i; j < Columns; ++j)
            out.at(i, j) = out.at(j, i) = sums[i][j];
}

}  // namespace

template <typename T>
void Matrix<T>::resize(int32_t rows, int32_t columns)
{
    m_rows = rows > 0 ? rows : 0;
    m_columns = columns > 0 ? columns : 0;
    m_values.assign(static_cast<size_t>(m_rows) * m_columns, T(0));
}

template <typename T>
Matrix<T> Matrix<T>::identity(int32_t size)
{
    Matrix m(size, size);
    for (int32_t i = 0; i < m.rows(); ++i)
        m.at(i, i) = T(1);
    return m;
}

template <typename T>
bool multiply(const Matrix<T>& a, const Matrix<T>& b, Matrix<T>& out)
{
    if (a.columns() != b.rows())
        return false;
    Matrix<T> result(a.rows(), b.columns());
    for (int32_t i = 0; i < a.rows(); ++i)
        for (int32_t k = 0; k < a.columns(); ++k) {
            const T v = a.at(i, k);
            for (int32_t j = 0; j < b.columns(); ++j)
                result.at(i, j) += v * b.at(k, j);
        }
    out = std::move(result);
    return true;
}

template <typename T>
void multiplyTransposedSelf(const Matrix<T>& a, Matrix<T>& out)
{
    Matrix<T> result(a.columns(), a.columns());
    switch (a.columns()) {
    case 4: transposedSelfFixed<T, 4>(a, result); break;
    case 6: transposedSelfFixed<T, 6>(a, result); break;
    case 9: transposedSelfFixed<T, 9>(a, result); break;
    default:
        for (int32_t r = 0; r < a.rows(); ++r)
            for (int32_t i = 0; i < a.columns(); ++i)
                for (int32_t j = i; j < a.columns(); ++j)
                    result.at(i, j) += a.at(r, i) * a.at(r, j);
        for (int32_t i = 0; i < a.columns(); ++i)
            for (int32_t j = 0; j < i; ++j)
                result.at(i, j) = result.at(j, i);
        break;
    }
    out = std::move(result);
}

template <typename T>
bool multiplyTransposed(const Matrix<T>& a, const Matrix<T>& b, Matrix<T>& out)
{
    if (a.rows() != b.rows())
        return false;
    Matrix<T> result(a.columns(), b.columns());
    for (int32_t r = 0; r < a.rows(); ++r)
        for (int32_t i = 0; i < a.columns(); ++i) {
            const T v = a.at(r, i);
            for (int32_t j = 0; j < b.columns(); ++j)
                result.at(i, j) += v * b.at(r, j);
        }
    out = std::move(result);
    return true;
}

template <typename T>
bool invert(const Matrix<T>& a, Matrix<T>& out)
{
    if (a.rows() != a.columns() || a.empty())
        return false;
    Matrix<T> work = a;
    Matrix<T> result = Matrix<T>::identity(a.rows());
    if (!eliminate(work, result, T(0)))
        return false;
    out = std::move(result);
    return true;
}

template <typename T>
bool solve(const Matrix<T>& a, const Matrix<T>& b, Matrix<T>& x, T minPivot)
{
    if (a.rows() != a.columns() || a.empty() || b.rows() != a.rows())
        return false;
    Matrix<T> work = a;
    Matrix<T> result = b;
    if (!eliminate(work, result, minPivot))
        return false;
    x = std::move(result);
    return true;
}

template class Matrix<float>;
template class Matrix<double>;
template bool multiply(const Matrix<float>&, const Matrix<float>&, Matrix<float>&);
template bool multiply(const Matrix<double>&, const Matrix<double>&, Matrix<double>&);
template void multiplyTransposedSelf(const Matrix<float>&, Matrix<float>&);
template void multiplyTransposedSelf(const Matrix<double>&, Matrix<double>&);
template bool multiplyTransposed(const Matrix<float>&, const Matrix<float>&, Matrix<float>&);
template bool multiplyTransposed(const Matrix<double>&, const Matrix<double>&, Matrix<double>&);
template bool invert(const Matrix<float>&, Matrix<float>&);
template bool invert(const Matrix<double>&, Matrix<double>&);
template bool solve(const Matrix<float>&, const Matrix<float>&, Matrix<float>&, float);
template bool solve(const Matrix<double>&, const Matrix<double>&, Matrix<double>&, double);

}  // namespace velreg
