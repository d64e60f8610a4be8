#pragma once

class Query;

// Starts a transaction on the query's connection. commit() ends it; if the
// Transaction is destroyed first (an exception, an early return) the
// transaction is rolled back, so a failure never leaves it open.
class Transaction {
public:
    explicit Transaction(Query& query);
    ~Transaction();

    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit();

private:
    Query& query;
    bool committed = false;
};
