<<
update customer set balance = balance + 100
 where customerid = 101
>>
<<
update customer set customername = upper(customername) where city = 'Goa'
>>
