#include "frames/partitions.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <cstring>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/pyref.hpp"
#include "frames/buffer.hpp"
#include "linalg/factor.hpp"
#include "models/linear/moments.hpp"
#include "report/report.hpp"

namespace ordinata::frames {

namespace {

namespace ml = ordinata::models::linear;
using la::Matrix;
using la::Vector;

using binding::PyRef;

// Row-major doubles as bytes, which numpy reads with frombuffer.
PyObject* as_bytes(const double* data, la::index_t count) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                     static_cast<Py_ssize_t>(count * sizeof(double)));
}
PyObject* as_bytes(const Matrix& m) { return as_bytes(m.data(), m.size()); }
PyObject* as_bytes(const Vector& v) { return as_bytes(v.data(), v.size()); }

// Doubles from a bytes object of the expected count.
std::optional<std::vector<double>> from_bytes(PyObject* obj, la::index_t count, const char* name) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &size) < 0 ||
        static_cast<std::size_t>(size) != count * sizeof(double)) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s must be bytes of %zu doubles", name, count);
        return std::nullopt;
    }
    std::vector<double> out(count);
    std::memcpy(out.data(), data, static_cast<std::size_t>(size));
    return out;
}

// Moments travel as (n, total_weight, pivot bytes, mean bytes, R bytes, intercept, exact).
PyObject* pack(const ml::Moments& m) {
    const PyRef pivot = PyRef::steal(as_bytes(m.pivot)), mean = PyRef::steal(as_bytes(m.mean)),
                r = PyRef::steal(as_bytes(m.r));
    if (!pivot || !mean || !r) return nullptr;
    return Py_BuildValue("(KdOOOOO)", static_cast<unsigned long long>(m.n), m.total_weight, pivot.get(), mean.get(),
                         r.get(), m.intercept ? Py_True : Py_False, m.exact ? Py_True : Py_False);
}

std::optional<ml::Moments> unpack(PyObject* obj) {
    unsigned long long n = 0;
    double weight = 0.0;
    PyObject *pivot = nullptr, *mean = nullptr, *r = nullptr;
    int intercept = 0, exact = 0;
    if (!PyArg_ParseTuple(obj, "KdOOOpp", &n, &weight, &pivot, &mean, &r, &intercept, &exact)) return std::nullopt;
    if (!PyBytes_Check(mean)) {
        PyErr_SetString(PyExc_ValueError, "moments: the mean must be bytes");
        return std::nullopt;
    }
    const auto c = static_cast<la::index_t>(PyBytes_Size(mean)) / sizeof(double);
    auto p = from_bytes(pivot, c, "pivot");
    auto m = p ? from_bytes(mean, c, "mean") : std::nullopt;
    auto rv = m ? from_bytes(r, c * c, "R") : std::nullopt;
    if (!rv) return std::nullopt;
    ml::Moments out{n, weight, Vector(c), Vector(c), Matrix(c, c), intercept != 0, exact != 0};
    std::copy(p->begin(), p->end(), out.pivot.data());
    std::copy(m->begin(), m->end(), out.mean.data());
    std::copy(rv->begin(), rv->end(), out.r.data());
    return out;
}

struct Centres {
    Buffer group, table;
    ml::RowCentres centres;
    bool present = false;
    // group and table both None, or int64 codes with one row of table each.
    bool get(PyObject* g, PyObject* t, la::index_t rows, la::index_t cols) {
        if (g == Py_None && t == Py_None) return true;
        if (!group.get_codes(g, "group") || !table.get(t, 2, false, "table")) return false;
        if (group.dim(0) != rows || !group.contiguous() || table.dim(1) != cols) {
            PyErr_SetString(PyExc_ValueError,
                            "group must be contiguous with one code per row, table one column per column");
            return false;
        }
        const std::int64_t* codes = group.codes();
        for (la::index_t i = 0; i < rows; ++i)
            if (codes[i] < 0 || static_cast<la::index_t>(codes[i]) >= table.dim(0)) {
                PyErr_SetString(PyExc_ValueError, "a group code lies outside the table");
                return false;
            }
        centres = {codes, table.matrix()};
        present = true;
        return true;
    }
    const ml::RowCentres* ptr() const { return present ? &centres : nullptr; }
};

bool optional_weights(PyObject* obj, Buffer& buf, la::index_t rows, la::VectorView& view, const la::VectorView*& ptr) {
    ptr = nullptr;
    if (obj == Py_None) return true;
    if (!buf.get(obj, 1, false, "w")) return false;
    if (buf.dim(0) != rows) {
        PyErr_SetString(PyExc_ValueError, "w must have one weight per row");
        return false;
    }
    view = {buf.data(), rows, buf.stride(0)};
    ptr = &view;
    return true;
}

template <class T, class F>
std::optional<models::Result<T>> without_lock(F&& f) {
    std::optional<models::Result<T>> out;
    PyObject* done = run_native([&] { out = f(); });
    if (!done) return std::nullopt;
    Py_DECREF(done);
    return out;
}

const ml::RoutePolicy kIvRoute = ml::kTslsSecondStageRoute;

// The fits solve_moments solves, by the values _native.pyi documents.
enum class Kind : long { Ols = 0, Wls = 1, Ridge = 2, Fe = 3, Iv = 4, Tsls = 5 };

// The columns of a: a 2-D float64 array, or a list of 1-D float64 arrays of
// one length, read where they lie.
class ColumnArgument {
public:
    bool get(PyObject* obj) {
        if (!PyList_Check(obj)) {
            if (!matrix_.get(obj, 2, false, "a")) return false;
            columns_ = ml::Columns::of(matrix_.matrix());
            return true;
        }
        const Py_ssize_t count = PyList_Size(obj);
        buffers_ = std::vector<Buffer>(static_cast<std::size_t>(count));
        for (Py_ssize_t j = 0; j < count; ++j) {
            Buffer& b = buffers_[static_cast<std::size_t>(j)];
            if (!b.get(PyList_GET_ITEM(obj, j), 1, false, "every column of a")) return false;
            if (j > 0 && b.dim(0) != columns_.rows) {
                PyErr_SetString(PyExc_ValueError, "the columns of a differ in length");
                return false;
            }
            columns_.rows = b.dim(0);
            columns_.base.push_back(b.data());
            columns_.stride.push_back(b.stride(0));
        }
        return true;
    }
    const ml::Columns& columns() const { return columns_; }

private:
    Buffer matrix_;
    std::vector<Buffer> buffers_;
    ml::Columns columns_;
};

}  // namespace

PyObject* moments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 && !arity(nargs, 6, "moments")) return nullptr;
    ColumnArgument a;
    Buffer w;
    if (!a.get(args[0])) return nullptr;
    const la::index_t rows = a.columns().rows, cols = a.columns().cols();
    la::VectorView wv;
    const la::VectorView* wp = nullptr;
    const int intercept = PyObject_IsTrue(args[2]);
    const int exact = nargs > 5 ? PyObject_IsTrue(args[5]) : 0;
    Centres centres;
    if (intercept < 0 || exact < 0 || !optional_weights(args[1], w, rows, wv, wp) ||
        !centres.get(args[3], args[4], rows, cols))
        return nullptr;
    auto result = without_lock<ml::Moments>(
        [&] { return ml::moments_of_columns(a.columns(), wp, intercept != 0, centres.ptr(), exact != 0); });
    if (!result) return nullptr;
    if (!*result) return raise(result->error());
    return pack(**result);
}

PyObject* merge_moments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 2, "merge_moments")) return nullptr;
    auto a = unpack(args[0]);
    auto b = a ? unpack(args[1]) : std::nullopt;
    if (!b) return nullptr;
    if (a->mean.size() != b->mean.size() || a->intercept != b->intercept) {
        PyErr_SetString(PyExc_ValueError, "merge_moments: the moments are of different columns");
        return nullptr;
    }
    return pack(ml::merge_moments(*a, *b));
}

PyObject* moments_from_gram(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 3, "moments_from_gram")) return nullptr;
    const unsigned long long n = PyLong_AsUnsignedLongLong(args[0]);
    const double weight = PyFloat_AsDouble(args[1]);
    if (PyErr_Occurred()) return nullptr;
    Buffer gram;
    if (!gram.get(args[2], 2, false, "gram")) return nullptr;
    const la::index_t c = gram.dim(0);
    if (gram.dim(1) != c || c < 1) {
        PyErr_SetString(PyExc_ValueError, "moments_from_gram: the Gram matrix must be square");
        return nullptr;
    }
    Matrix g(c, c);
    for (la::index_t i = 0; i < c; ++i)
        for (la::index_t j = 0; j < c; ++j) {
            const double v = gram.data()[i * gram.stride(0) + j * gram.stride(1)];
            if (!std::isfinite(v)) Py_RETURN_NONE;
            g(i, j) = v;
        }
    auto m = ml::moments_from_gram(static_cast<la::index_t>(n), weight, g);
    if (!m) Py_RETURN_NONE;
    return pack(*m);
}

PyObject* solve_moments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 8, "solve_moments")) return nullptr;
    auto m = unpack(args[0]);
    if (!m) return nullptr;
    const long kind = PyLong_AsLong(args[1]);
    const long long q = PyLong_AsLongLong(args[2]);
    const double alpha = PyFloat_AsDouble(args[4]);
    const long long kw = PyLong_AsLongLong(args[5]), kz = PyLong_AsLongLong(args[6]), ke = PyLong_AsLongLong(args[7]);
    if (PyErr_Occurred()) return nullptr;
    if (q < 0 || kw < 0 || kz < 0 || ke < 0 ||
        kw + kz + ke >= static_cast<long long>(m->mean.size()) + (kz + ke > 0 ? 0 : 1)) {
        PyErr_SetString(PyExc_ValueError, "solve_moments: the column counts do not match the moments");
        return nullptr;
    }
    std::optional<Vector> raw;
    if (args[3] != Py_None) {
        Buffer b;
        if (!b.get(args[3], 1, false, "raw_lengths")) return nullptr;
        if (b.dim(0) != m->mean.size()) {
            PyErr_SetString(PyExc_ValueError, "raw_lengths must have one length per column");
            return nullptr;
        }
        raw = Vector(b.dim(0));
        for (la::index_t j = 0; j < b.dim(0); ++j) (*raw)[j] = b.data()[static_cast<la::stride_t>(j) * b.stride(0)];
    }
    ml::MomentsProblem pr;
    switch (static_cast<Kind>(kind)) {
        case Kind::Ols:
            pr.policy = &ml::kOlsRoute;
            break;
        case Kind::Wls:
            pr.policy = &ml::kWlsRoute;
            break;
        case Kind::Ridge:
            pr.policy = alpha > 0.0 ? &ml::kRidgeRoute : &ml::kUnpenalisedRidgeRoute;
            break;
        case Kind::Fe:
            pr.policy = &ml::kFeRoute;
            break;
        case Kind::Iv:
            pr.policy = &kIvRoute;
            pr.identified_singular = "Z'X matrix is singular. Check instrument-regressor correlation.";
            break;
        case Kind::Tsls:
            pr.policy = &ml::kTslsSecondStageRoute;
            break;
        default:
            PyErr_Format(PyExc_ValueError, "solve_moments: unknown kind %ld", kind);
            return nullptr;
    }
    pr.q = static_cast<la::index_t>(q);
    pr.raw_lengths = raw ? &*raw : nullptr;
    pr.alpha = static_cast<Kind>(kind) == Kind::Ridge ? alpha : 0.0;
    pr.exogenous = static_cast<la::index_t>(kw);
    pr.instruments = static_cast<la::index_t>(kz);
    pr.endogenous = static_cast<la::index_t>(ke);
    auto s = ml::solve_moments(*m, pr);
    if (!s) return raise(s.error());
    if (s->needs_exact) return Py_BuildValue("{sO}", "needs_exact", Py_True);
    const PyRef beta = PyRef::steal(as_bytes(s->beta)), inverse = PyRef::steal(as_bytes(s->inverse)),
                weights = PyRef::steal(as_bytes(s->residual_weights)), scores = PyRef::steal(as_bytes(s->scores)),
                left = PyRef::steal(as_bytes(s->left)), design = PyRef::steal(as_bytes(s->design_factor));
    if (!beta || !inverse || !weights || !scores || !left || !design) return nullptr;
    return Py_BuildValue("{sOsOsdsdsOsOsOsOsO}", "beta", beta.get(), "inverse", inverse.get(), "ssr", s->ssr, "tss",
                         s->tss, "residual_weights", weights.get(), "scores", scores.get(), "left", left.get(),
                         "design_factor", design.get(), "score_gram", s->score_gram ? Py_True : Py_False);
}

namespace {

PyObject* pack_sums(const stats::ResidualSums& s) {
    return Py_BuildValue("(ddddddddd)", s.n, s.mean, s.m2, s.m3, s.m4, s.sum_sq, s.squared_steps, s.first, s.last);
}

std::optional<stats::ResidualSums> unpack_sums(PyObject* obj) {
    stats::ResidualSums s;
    if (!PyArg_ParseTuple(obj, "ddddddddd", &s.n, &s.mean, &s.m2, &s.m3, &s.m4, &s.sum_sq, &s.squared_steps, &s.first,
                          &s.last))
        return std::nullopt;
    return s;
}

}  // namespace

PyObject* score_pass(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 16, "score_pass")) return nullptr;
    ColumnArgument a;
    Buffer w, pivot, mean, weights, scores;
    if (!a.get(args[0]) || !pivot.get(args[2], 1, false, "pivot") || !mean.get(args[3], 1, false, "mean") ||
        !weights.get(args[6], 1, false, "residual_weights") || !scores.get(args[7], 2, false, "scores"))
        return nullptr;
    const la::index_t n = a.columns().rows, c = a.columns().cols();
    la::VectorView wv;
    const la::VectorView* wp = nullptr;
    const int intercept = PyObject_IsTrue(args[4]);
    const double total_weight = PyFloat_AsDouble(args[5]);
    const long power = PyLong_AsLong(args[8]);
    const int sums = PyObject_IsTrue(args[11]);
    const int score_gram = PyObject_IsTrue(args[14]);
    const int cluster_grams = PyObject_IsTrue(args[15]);
    if (intercept < 0 || sums < 0 || score_gram < 0 || cluster_grams < 0 || PyErr_Occurred()) return nullptr;
    Centres centres;
    if (!optional_weights(args[1], w, n, wv, wp) || !centres.get(args[12], args[13], n, c)) return nullptr;
    if (pivot.dim(0) != c || mean.dim(0) != c || weights.dim(0) != c || scores.dim(1) != c || power < -1 || power > 2) {
        PyErr_SetString(PyExc_ValueError, "score_pass: the mean, residual weights and scores must match a's columns");
        return nullptr;
    }
    if (!PyList_Check(args[9]) || !PyList_Check(args[10]) || PyList_Size(args[9]) != PyList_Size(args[10])) {
        PyErr_SetString(PyExc_TypeError, "score_pass: clusters and groups must be lists of the same length");
        return nullptr;
    }
    const Py_ssize_t ways = PyList_Size(args[9]);
    std::vector<Buffer> codes(static_cast<std::size_t>(ways));
    ml::ScoreRequest rq;
    for (Py_ssize_t g = 0; g < ways; ++g) {
        Buffer& b = codes[static_cast<std::size_t>(g)];
        const long long groups = PyLong_AsLongLong(PyList_GetItem(args[10], g));
        if (groups < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "groups must not be negative");
        if (PyErr_Occurred() || !b.get_codes(PyList_GetItem(args[9], g), "clusters")) return nullptr;
        if (b.dim(0) != n || !b.contiguous()) {
            PyErr_SetString(PyExc_ValueError, "every cluster array must be contiguous with one code per row");
            return nullptr;
        }
        rq.clusters.push_back(b.codes());
        rq.groups.push_back(static_cast<la::index_t>(groups));
    }
    // The small inputs as the core reads them: contiguous copies.
    Vector pv(c), mv(c), rw(c);
    Matrix g(scores.dim(0), c);
    for (la::index_t j = 0; j < c; ++j) {
        pv[j] = pivot.data()[static_cast<la::stride_t>(j) * pivot.stride(0)];
        mv[j] = mean.data()[static_cast<la::stride_t>(j) * mean.stride(0)];
        rw[j] = weights.data()[static_cast<la::stride_t>(j) * weights.stride(0)];
    }
    const la::MatrixView sv = scores.matrix();
    for (la::index_t i = 0; i < g.rows(); ++i)
        for (la::index_t j = 0; j < c; ++j) g(i, j) = sv(i, j);
    rq.a = a.columns();
    rq.w = wp;
    rq.centres = centres.ptr();
    rq.pivot = pv.view();
    rq.mean = mv.view();
    rq.intercept = intercept != 0;
    rq.total_weight = total_weight;
    rq.residual_weights = rw.view();
    rq.scores = g.view();
    rq.leverage_power = static_cast<int>(power);
    rq.residual_sums = sums != 0;
    rq.score_gram = score_gram != 0;
    rq.cluster_grams = cluster_grams != 0;
    auto result = without_lock<ml::ScoreSums>([&] { return ml::score_pass(rq); });
    if (!result) return nullptr;
    if (!*result) return raise(result->error());
    const ml::ScoreSums& s = **result;
    const PyRef meat = PyRef::steal(power >= 0 ? as_bytes(s.meat) : Py_NewRef(Py_None));
    const PyRef clusters = PyRef::steal(PyList_New(ways));
    const PyRef residuals = PyRef::steal(sums ? pack_sums(s.residuals) : Py_NewRef(Py_None));
    const PyRef gram = PyRef::steal(s.gram.size() > 0 ? as_bytes(s.gram) : Py_NewRef(Py_None));
    const PyRef grams = PyRef::steal(rq.cluster_grams && ways > 0 ? as_bytes(s.cluster_grams) : Py_NewRef(Py_None));
    if (!meat || !clusters || !residuals || !gram || !grams) return nullptr;
    for (Py_ssize_t i = 0; i < ways; ++i) {
        PyObject* b = as_bytes(s.cluster_sums[static_cast<std::size_t>(i)]);
        if (!b) return nullptr;
        PyList_SET_ITEM(clusters.get(), i, b);
    }
    return PyTuple_Pack(5, meat.get(), clusters.get(), residuals.get(), gram.get(), grams.get());
}

PyObject* merge_residual_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 2, "merge_residual_sums")) return nullptr;
    auto a = unpack_sums(args[0]);
    auto b = a ? unpack_sums(args[1]) : std::nullopt;
    if (!b) return nullptr;
    return pack_sums(stats::ResidualSums::merge(*a, *b));
}

namespace {

// The fields of report's one argument; a field absent or None is not printed
// (or printed as the estimator's own report prints it).
constexpr std::array<std::string_view, 20> kReportFields{
    "title",       "method",        "nobs",          "df_model",         "intercept",
    "r_squared",   "mse",           "dependent",     "covariance",       "rows",
    "f_statistic", "f_p_value",     "df_residuals",  "r_squared_adj",    "partitions",
    "time",        "residual_sums", "design_factor", "condition_number", "within_r_squared"};

class ReportFields {
public:
    explicit ReportFields(PyObject* dict) : dict_(dict) {}

    // A dict of known fields only: a misspelt one would silently print nothing.
    bool check() const {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(dict_, &pos, &key, &value)) {
            Py_ssize_t size = 0;
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            if (!name) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "report: the field names must be str");
                return false;
            }
            const std::string_view k(name, static_cast<std::size_t>(size));
            if (std::find(kReportFields.begin(), kReportFields.end(), k) == kReportFields.end()) {
                PyErr_Format(PyExc_TypeError, "report: unknown field '%s'", name);
                return false;
            }
        }
        return true;
    }
    // Borrowed; null for a field absent or None.
    PyObject* get(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);
        return v == Py_None ? nullptr : v;
    }
    PyObject* required(const char* name) const {
        PyObject* v = get(name);
        if (!v) PyErr_Format(PyExc_TypeError, "report: field '%s' is required", name);
        return v;
    }
    // UTF-8 text that lives as long as the dict holds the str.
    bool text(const char* name, std::string_view& out, bool needed) const {
        PyObject* v = needed ? required(name) : get(name);
        if (!v) return !needed;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_Check(v) ? PyUnicode_AsUTF8AndSize(v, &size) : nullptr;
        if (!data) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "report: field '%s' must be str", name);
            return false;
        }
        out = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }
    bool number(const char* name, std::optional<double>& out, bool needed) const {
        PyObject* v = needed ? required(name) : get(name);
        if (!v) return !needed;
        const double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out = d;
        return true;
    }
    bool count(const char* name, std::optional<std::uint64_t>& out, bool needed) const {
        PyObject* v = needed ? required(name) : get(name);
        if (!v) return !needed;
        const PyRef index = PyRef::steal(PyNumber_Index(v));
        if (!index) return false;
        const unsigned long long c = PyLong_AsUnsignedLongLong(index.get());
        if (c == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = c;
        return true;
    }

private:
    PyObject* dict_;
};

// rows: a tuple of (name, estimate, std error, t, p, lower, upper) tuples,
// which holds every name while the report is written.
bool coefficient_rows(PyObject* held, std::vector<report::CoefficientRow>& rows) {
    const Py_ssize_t count = PyTuple_GET_SIZE(held);
    rows.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* row = PyTuple_GET_ITEM(held, i);
        PyObject* name = nullptr;
        report::CoefficientRow r{};
        if (!PyTuple_Check(row)) {
            PyErr_SetString(PyExc_TypeError, "report: every row must be a tuple");
            return false;
        }
        if (!PyArg_ParseTuple(row, "Udddddd;report: a row is (name, estimate, std error, t, p, lower, upper)", &name,
                              &r.estimate, &r.std_error, &r.t, &r.p_value, &r.lower, &r.upper))
            return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(name, &size);
        if (!data) return false;
        r.name = std::string_view(data, static_cast<std::size_t>(size));
        rows.push_back(r);
    }
    return true;
}

}  // namespace

PyObject* report(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, 1, "report")) return nullptr;
    if (!PyDict_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "report takes one dict of fields");
        return nullptr;
    }
    // A copy holds every text the report points into, whatever a float
    // conversion on the way does to the caller's dict.
    const PyRef copy = PyRef::steal(PyDict_Copy(args[0]));
    if (!copy) return nullptr;
    const ReportFields f(copy.get());
    if (!f.check()) return nullptr;
    report::ReportInput in;
    in.covariance_text = "nonrobust";
    std::optional<std::uint64_t> n, k;
    std::optional<double> r2, mse, condition;
    PyObject* intercept = f.required("intercept");
    if (!f.text("title", in.title, true) || !f.text("method", in.method_text, true) || !f.count("nobs", n, true) ||
        !f.count("df_model", k, true) || !intercept || !f.number("r_squared", r2, true) ||
        !f.number("mse", mse, true) || !f.text("dependent", in.dependent, false) ||
        !f.text("covariance", in.covariance_text, false) || !f.number("f_statistic", in.f_statistic, false) ||
        !f.number("f_p_value", in.f_p_value, false) || !f.count("df_residuals", in.df_residuals, false) ||
        !f.number("r_squared_adj", in.r_squared_adj, false) || !f.count("partitions", in.partitions, false) ||
        !f.number("condition_number", condition, false) || !f.number("within_r_squared", in.within_r_squared, false))
        return nullptr;
    const int with_intercept = PyObject_IsTrue(intercept);
    if (with_intercept < 0) return nullptr;
    in.model_text = in.title;
    in.fit_intercept = with_intercept != 0;
    in.intercept_row = false;
    in.fit.n_samples = n;
    in.fit.n_features = k;
    in.fit.r_squared = r2;
    in.fit.mse = mse;

    // A tuple copy of the rows: a list could change under the float conversions.
    PyObject* given_rows = f.get("rows");
    const PyRef held_rows = PyRef::steal(given_rows ? PySequence_Tuple(given_rows) : nullptr);
    std::vector<report::CoefficientRow> rows;
    if (given_rows) {
        if (!held_rows || !coefficient_rows(held_rows.get(), rows)) return nullptr;
        in.rows = &rows;
    }
    if (PyObject* s = f.get("residual_sums")) {
        auto sums = unpack_sums(s);
        if (!sums) return nullptr;
        // The condition number as given, or from the design's R factor.
        double c = condition.value_or(std::nan(""));
        if (!condition) {
            if (PyObject* design = f.get("design_factor")) {
                Buffer b;
                if (!b.get(design, 2, false, "design_factor")) return nullptr;
                c = la::scaled_condition_number(b.matrix());
            }
        }
        in.diagnostics = stats::DiagnosticStats::from_sums(*sums, c);
    }
    std::optional<std::tm> local;
    if (PyObject* t = f.get("time")) {
        std::tm tm{};
        int weekday = 0;
        if (!PyArg_ParseTuple(t, "iiiiiii;report: time is (year, month, day, hour, minute, second, weekday)",
                              &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &weekday))
            return nullptr;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_wday = (weekday + 1) % 7;  // given from Monday = 0, as Python counts; tm from Sunday
        local = tm;
    }
    const std::string text = local ? report::render(in, *local) : report::render(in);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace ordinata::frames
