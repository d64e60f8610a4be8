#include "engine/storage/Transaction.h"

#include "engine/storage/Query.h"

Transaction::Transaction(Query& transactionQuery)
    : query(transactionQuery)
{
    query.executeOrThrow("begin transaction", "begin transaction");
}

Transaction::~Transaction()
{
    if (!committed)
        query.rollbackOpenTransaction();
}

void Transaction::commit()
{
    query.executeOrThrow("commit transaction", "commit transaction");
    committed = true;
}
